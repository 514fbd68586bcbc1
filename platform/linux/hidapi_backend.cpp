#include "platform/linux/hidapi_backend.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/linux/device_holders.h"
#include "platform/linux/hidraw_descriptor.h"
#include "platform/linux/usbfs_claims.h"

namespace tamrik::platform {

namespace {

// The unit's USB IDs, for finding it in sysfs while a program holds it through usbfs.
constexpr std::uint16_t kUnitVendorId = 0x1DD2;
constexpr std::uint16_t kUnitProductId = 0x2211;

// The path of a unit a program holds through usbfs: this prefix, then its usbfs node.
constexpr std::string_view kUsbfsPrefix = "usbfs:";
constexpr std::string_view kUsbfsNodes = "/dev/bus/usb/";

// How long the holders found for a claimed unit are told again before they are looked for anew.
constexpr std::chrono::seconds kHoldersKept{2};

}  // namespace

HidapiBackend::HidapiBackend(std::filesystem::path sysRoot, std::filesystem::path procRoot)
    : sysRoot_(std::move(sysRoot)), procRoot_(std::move(procRoot)) {}

bool HidapiBackend::mayOpen(const std::string& path) {
  // hidapi 0.13 frees uninitialised memory when the path it opens is not a hidraw node, so
  // nothing else reaches it. A node this user may not open cannot answer the hidraw request; it
  // is known as one by its number in sysfs, and hidapi's refusal then says why.
  return !path.starts_with(kUsbfsPrefix) && (isHidrawNode(path) || isListedHidrawNode(path, sysRoot_));
}

std::optional<ReportDescriptorInfo> HidapiBackend::reportLayout(const std::string& path) {
  auto descriptor = readSysfsReportDescriptor(path, sysRoot_);
  if (!descriptor) descriptor = readIoctlReportDescriptor(path);
  if (!descriptor) return std::nullopt;
  return parseReportDescriptor(*descriptor).info;
}

RawReportReader HidapiBackend::rawReader(RawReportReader hidapiRead) {
  // A signal (the snapshot request) cuts hidraw's wait short; that is no lost device.
  return signalAwareReader(std::move(hidapiRead));
}

OpenFailure HidapiBackend::openFailure(const std::string& path, std::string hidapiText) {
  // hidapi's text carries errno's words, but not errno itself: the node is opened once more, as
  // hidapi opens it, to learn it.
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  const int error = fd < 0 ? errno : 0;
  if (fd >= 0) ::close(fd);
  OpenFailure f{OpenFailure::Kind::Other, error != 0 ? std::strerror(error) : std::move(hidapiText), {}};
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: f.kind = OpenFailure::Kind::Absent; break;
    case EACCES:
    case EPERM: f.kind = OpenFailure::Kind::NotPermitted; break;
    case EBUSY: f.kind = OpenFailure::Kind::Busy; break;
    default: break;
  }
  if (f.kind == OpenFailure::Kind::Busy) f.holders = deviceHolders(path, procRoot_);
  return f;
}

std::vector<HidInterface> HidapiBackend::unlistedInterfaces() {
  std::vector<HidInterface> interfaces;
  for (UsbfsClaim& claim : usbfsClaims(sysRoot_, kUnitVendorId, kUnitProductId)) {
    interfaces.push_back({std::string(kUsbfsPrefix) + claim.node, true, claim.vendorId, claim.productId,
                          std::move(claim.serial)});
  }
  return interfaces;
}

OpenFailure HidapiBackend::refusedOpen(const std::string& path) {
  // A unit listed as held through usbfs. Should its holder have let go since, the unit comes back
  // with its hidraw node at the next listing.
  const std::string node = path.starts_with(kUsbfsPrefix) ? path.substr(kUsbfsPrefix.size()) : std::string();
  if (!node.starts_with(kUsbfsNodes)) return HidapiDevices::refusedOpen(path);
  const auto now = std::chrono::steady_clock::now();
  if (!holders_ || holders_->node != node || now - holders_->found >= kHoldersKept) {
    holders_ = Holders{node, deviceHolders(node, procRoot_), now};
  }
  return {OpenFailure::Kind::Busy, std::strerror(EBUSY), holders_->names};
}

}  // namespace tamrik::platform

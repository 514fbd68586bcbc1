#include "platform/linux/hidapi_backend.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/device_holders.h"
#include "platform/linux/hidraw_descriptor.h"

namespace tamrik::platform {

HidapiBackend::HidapiBackend(std::filesystem::path sysRoot, std::filesystem::path procRoot)
    : sysRoot_(std::move(sysRoot)), procRoot_(std::move(procRoot)) {}

bool HidapiBackend::mayOpen(const std::string& path) {
  // hidapi 0.13 frees uninitialised memory when the path it opens is not a hidraw node, so
  // nothing else reaches it.
  return isHidrawNode(path);
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

}  // namespace tamrik::platform

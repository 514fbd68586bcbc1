#include "platform/hid/hidapi_devices.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <set>
#include <string_view>

#include "platform/hid/utf8_conversions.h"
#include "platform/hid/wide_string.h"

namespace tamrik::platform {

namespace {

// hidapi keeps process-wide state: initialise it with the first backend, release it with the last.
std::mutex hidapiUsersMutex;
int hidapiUsers = 0;

// USB string descriptors hold at most 126 code units; this bounds what a caller can ask for.
constexpr std::size_t kMaxStringUnits = 4096;

}  // namespace

struct HidapiDevices::Device {
  hid_device* dev = nullptr;
  std::optional<ReportDescriptorInfo> layout;  // unset when the report lengths are unknown
  std::vector<std::uint8_t> scratch;           // one raw input report
  std::string lastError;                       // why the latest request that failed, failed
  bool unanswered = false;                     // it waited out its bound without an answer
};

void HidapiDevices::failed(Device& device, const char* request, int error) {
  const wchar_t* text = hid_error(device.dev);
  // On Linux the kernel ends a USB control transfer the device does not answer with ETIMEDOUT;
  // on Windows our patch of hidapi's backend (third_party/hidapi/PATCHES.md) says it in its text.
  constexpr std::wstring_view kPatchNoAnswer = L"the device did not answer in time";
  device.unanswered = error == ETIMEDOUT || (text != nullptr && std::wstring_view(text).starts_with(kPatchNoAnswer));
  // A unit that did not answer is told so in the same words everywhere, without hidapi's names
  // for its system calls ("ioctl (SFEATURE)"); the caller names the request.
  device.lastError = device.unanswered ? std::string("Connection timed out")
                                       : std::string(request) + ": " + (text ? utf8FromWide(text) : std::string("failed"));
}

HidapiDevices::HidapiDevices() {
  std::lock_guard lock(hidapiUsersMutex);
  if (hidapiUsers++ == 0) hid_init();
}

HidapiDevices::~HidapiDevices() {
  for (auto& [handle, device] : devices_) hid_close(device->dev);
  std::lock_guard lock(hidapiUsersMutex);
  if (--hidapiUsers == 0) hid_exit();
}

std::vector<HidInterface> HidapiDevices::hidInterfaces() {
  std::vector<HidInterface> interfaces;
  std::set<std::string> seen;
  // hidapi takes the IDs from the device list the system keeps, without opening any device.
  hid_device_info* list = nullptr;
  {
    const Utf8Conversions utf8;  // hidapi converts each device's strings as it lists it
    list = hid_enumerate(0, 0);
  }
  // hidapi may list a path once per top-level usage; the caller wants each interface once.
  for (const hid_device_info* info = list; info != nullptr; info = info->next) {
    if (info->path == nullptr) continue;
    std::string path(info->path);
    if (seen.insert(path).second) {
      interfaces.push_back({std::move(path), true, info->vendor_id, info->product_id,
                            info->serial_number ? utf8FromWide(info->serial_number) : std::string()});
    }
  }
  hid_free_enumeration(list);
  for (HidInterface& unlisted : unlistedInterfaces()) {
    if (seen.insert(unlisted.path).second) interfaces.push_back(std::move(unlisted));
  }
  return interfaces;
}

DeviceHandle HidapiDevices::open(const std::string& path, OpenMode /*mode: every hidapi handle serves both*/) {
  if (!mayOpen(path)) {
    lastOpenFailure_ = refusedOpen(path);
    return kInvalidHandle;
  }
  hid_device* dev = nullptr;
  {
    const Utf8Conversions utf8;  // its error text names the path
    dev = hid_open_path(path.c_str());
  }
  if (dev == nullptr) {
    const wchar_t* text = hid_error(nullptr);
    lastOpenFailure_ = openFailure(path, text ? utf8FromWide(text) : std::string());
    return kInvalidHandle;
  }

  auto device = std::make_unique<Device>();
  device->dev = dev;
  device->layout = reportLayout(path);
  device->scratch.resize(kMaxReportBytes);

  const DeviceHandle handle = next_++;
  devices_.emplace(handle, std::move(device));
  return handle;
}

bool HidapiDevices::close(DeviceHandle handle) {
  auto it = devices_.find(handle);
  if (it == devices_.end()) return false;
  hid_close(it->second->dev);
  devices_.erase(it);
  return true;
}

HidapiDevices::Device* HidapiDevices::find(DeviceHandle handle) {
  auto it = devices_.find(handle);
  return it == devices_.end() ? nullptr : it->second.get();
}

std::optional<HidAttributes> HidapiDevices::attributes(DeviceHandle handle) {
  Device* device = find(handle);
  if (device == nullptr) return std::nullopt;
  const hid_device_info* info = nullptr;
  {
    const Utf8Conversions utf8;  // the first call learns all of the device's strings
    info = hid_get_device_info(device->dev);
  }
  if (info == nullptr) return std::nullopt;
  return HidAttributes{info->vendor_id, info->product_id, info->release_number};
}

std::optional<std::u16string> HidapiDevices::string(DeviceHandle handle, HidString which, std::size_t maxBytes) {
  Device* device = find(handle);
  if (device == nullptr) return std::nullopt;
  const std::size_t units = std::min(maxBytes / 2, kMaxStringUnits);
  // Each wide character yields at least one code unit, so units characters are enough.
  std::vector<wchar_t> buffer(units + 1, L'\0');
  int rc = -1;
  {
    const Utf8Conversions utf8;  // the first string asked for learns them all
    switch (which) {
      case HidString::Manufacturer: rc = hid_get_manufacturer_string(device->dev, buffer.data(), buffer.size()); break;
      case HidString::Product: rc = hid_get_product_string(device->dev, buffer.data(), buffer.size()); break;
      case HidString::SerialNumber: rc = hid_get_serial_number_string(device->dev, buffer.data(), buffer.size()); break;
    }
  }
  if (rc < 0) {
    failed(*device, "reading a string");
    return std::nullopt;
  }
  buffer.back() = L'\0';
  return utf16FromWide(std::wstring_view(buffer.data(), buffer.size()), units);
}

std::optional<HidCapabilities> HidapiDevices::capabilities(DeviceHandle handle) {
  Device* device = find(handle);
  if (device == nullptr || !device->layout) return std::nullopt;
  return HidCapabilities{device->layout->inputReportLength, device->layout->featureReportLength};
}

bool HidapiDevices::setFeature(DeviceHandle handle, std::span<const std::uint8_t> report) {
  Device* device = find(handle);
  if (device == nullptr || report.empty()) return false;
  // A leading report ID of 0 is dropped before the transfer, as a device without IDs expects
  // (hidraw does so on Linux, the HID class driver on Windows).
  errno = 0;
  if (hid_send_feature_report(device->dev, report.data(), report.size()) >= 0) return true;
  failed(*device, "sending a feature report", errno);
  return false;
}

std::optional<std::size_t> HidapiDevices::getFeature(DeviceHandle handle, std::span<std::uint8_t> report) {
  Device* device = find(handle);
  if (device == nullptr || report.empty()) return std::nullopt;
  errno = 0;
  const int n = hid_get_feature_report(device->dev, report.data(), report.size());
  if (n < 0) {
    failed(*device, "reading a feature report", errno);
    return std::nullopt;
  }
  // The count includes the ID byte; whatever the device did not send reads as zero.
  const auto got = std::min(static_cast<std::size_t>(n), report.size());
  std::fill(report.begin() + static_cast<std::ptrdiff_t>(std::max<std::size_t>(got, 1)), report.end(), std::uint8_t{0});
  return got;
}

InputReadResult HidapiDevices::readInputReports(DeviceHandle handle, std::span<std::uint8_t> buffer,
                                                std::chrono::milliseconds firstReportTimeout) {
  Device* device = find(handle);
  if (device == nullptr) return {};
  InputFraming framing;
  if (device->layout) {
    framing.reportLength = static_cast<std::size_t>(device->layout->inputReportLength);
    framing.usesReportIds = device->layout->usesReportIds;
  }
  hid_device* dev = device->dev;
  const RawReportReader read = rawReader([dev](std::span<std::uint8_t> into, int timeoutMs) {
    return hid_read_timeout(dev, into.data(), into.size(), timeoutMs);
  });
  const InputReadResult result = collectInputReports(read, framing, buffer, device->scratch, firstReportTimeout);
  if (!result.ok) failed(*device, "reading input reports");
  return result;
}

std::string HidapiDevices::lastError(DeviceHandle handle) {
  Device* device = find(handle);
  return device ? device->lastError : "not an open device";
}

bool HidapiDevices::lastRequestUnanswered(DeviceHandle handle) {
  Device* device = find(handle);
  return device != nullptr && device->unanswered;
}

}  // namespace tamrik::platform

#include "platform/linux/hidapi_backend.h"

#include "platform/linux/hidraw_descriptor.h"

namespace tamrik::platform {

HidapiBackend::HidapiBackend(std::filesystem::path sysRoot) : sysRoot_(std::move(sysRoot)) {}

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

}  // namespace tamrik::platform

#include "platform/windows/windows_hid_backend.h"

#include <cstdlib>

#include "platform/windows/hid_layout.h"

namespace tamrik::platform::windows {

bool WindowsHidBackend::mayOpen(const std::string& path) { return isHidInterfacePath(path); }

std::optional<ReportDescriptorInfo> WindowsHidBackend::reportLayout(const std::string& path) {
  return queryReportLayout(path);
}

OpenFailure::Kind openFailureKind(const std::string& hidapiText) {
  const std::size_t at = hidapiText.find("(0x");
  if (at == std::string::npos) return OpenFailure::Kind::Other;
  const unsigned long code = std::strtoul(hidapiText.c_str() + at + 3, nullptr, 16);
  switch (code) {
    case 2:     // ERROR_FILE_NOT_FOUND
    case 3:     // ERROR_PATH_NOT_FOUND
    case 1167:  // ERROR_DEVICE_NOT_CONNECTED
      return OpenFailure::Kind::Absent;
    case 5:  // ERROR_ACCESS_DENIED
      return OpenFailure::Kind::NotPermitted;
    case 32:  // ERROR_SHARING_VIOLATION: opened by another program without sharing
      return OpenFailure::Kind::Busy;
    default:
      return OpenFailure::Kind::Other;
  }
}

OpenFailure WindowsHidBackend::openFailure(const std::string& /*path*/, std::string hidapiText) {
  const OpenFailure::Kind kind = openFailureKind(hidapiText);
  // Windows does not tell who holds a device; its own words are all there is.
  return {kind, std::move(hidapiText), {}};
}

}  // namespace tamrik::platform::windows

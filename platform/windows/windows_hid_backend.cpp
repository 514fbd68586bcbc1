#include "platform/windows/windows_hid_backend.h"

#include "platform/windows/hid_layout.h"

namespace tamrik::platform::windows {

bool WindowsHidBackend::mayOpen(const std::string& path) { return isHidInterfacePath(path); }

std::optional<ReportDescriptorInfo> WindowsHidBackend::reportLayout(const std::string& path) {
  return queryReportLayout(path);
}

}  // namespace tamrik::platform::windows

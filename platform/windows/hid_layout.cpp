#include "platform/windows/hid_layout.h"

// Order matters: the HID headers need the Windows types first. MinGW's HID headers declare C
// functions without saying so.
#include <windows.h>
extern "C" {
// clang-format off
#include <hidsdi.h>
#include <hidpi.h>
// clang-format on
}

#include <algorithm>
#include <vector>

#include "platform/windows/windows_text.h"

namespace tamrik::platform::windows {

namespace {

constexpr std::string_view kInterfacePrefix = "\\\\?\\hid#";
constexpr std::string_view kHidInterfaceClass = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
constexpr std::size_t kMaxPathLength = 1024;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

// The report IDs of every button and value capability of one report type.
void collectReportIds(HIDP_REPORT_TYPE type, USHORT buttons, USHORT values, PHIDP_PREPARSED_DATA data,
                      std::vector<std::uint8_t>& ids) {
  if (buttons > 0) {
    std::vector<HIDP_BUTTON_CAPS> caps(buttons);
    USHORT n = buttons;
    if (HidP_GetButtonCaps(type, caps.data(), &n, data) == HIDP_STATUS_SUCCESS) {
      for (USHORT i = 0; i < n && i < caps.size(); ++i) ids.push_back(caps[i].ReportID);
    }
  }
  if (values > 0) {
    std::vector<HIDP_VALUE_CAPS> caps(values);
    USHORT n = values;
    if (HidP_GetValueCaps(type, caps.data(), &n, data) == HIDP_STATUS_SUCCESS) {
      for (USHORT i = 0; i < n && i < caps.size(); ++i) ids.push_back(caps[i].ReportID);
    }
  }
}

}  // namespace

bool isHidInterfacePath(std::string_view path) {
  if (path.size() > kMaxPathLength || path.size() <= kInterfacePrefix.size() + kHidInterfaceClass.size()) return false;
  for (char c : path) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  if (!equalsIgnoringCase(path.substr(0, kInterfacePrefix.size()), kInterfacePrefix)) return false;
  if (!equalsIgnoringCase(path.substr(path.size() - kHidInterfaceClass.size()), kHidInterfaceClass)) return false;
  // The device instance in between names the device; it never climbs out of the device namespace.
  const std::string_view instance =
      path.substr(kInterfacePrefix.size(), path.size() - kInterfacePrefix.size() - kHidInterfaceClass.size());
  return instance.find('\\') == std::string_view::npos && instance.find('/') == std::string_view::npos &&
         instance.find("..") == std::string_view::npos;
}

ReportDescriptorInfo layoutFromCaps(const HidClassCaps& caps) {
  ReportDescriptorInfo info;
  info.inputReportLength = std::max(caps.inputReportByteLength, 0);
  info.outputReportLength = std::max(caps.outputReportByteLength, 0);
  info.featureReportLength = std::max(caps.featureReportByteLength, 0);
  info.usesReportIds = std::any_of(caps.reportIds.begin(), caps.reportIds.end(), [](std::uint8_t id) { return id != 0; });
  return info;
}

std::optional<ReportDescriptorInfo> queryReportLayout(const std::string& path) {
  // hidapi 0.13 keeps the driver's report lengths to itself and cannot give the report descriptor
  // on Windows, so the layout is asked for here, as hidapi does when it opens a device: on a handle
  // of our own, opened with no access rights (the driver answers such queries even for a device
  // that another program holds), through HidD_GetPreparsedData and HidP_GetCaps. Report IDs come
  // from the button and value capabilities, which the driver derived from the same descriptor.
  if (!isHidInterfacePath(path)) return std::nullopt;
  const std::wstring widePath = wideFromUtf8(path);
  HANDLE device = ::CreateFileW(widePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<ReportDescriptorInfo> layout;
  PHIDP_PREPARSED_DATA data = nullptr;
  if (HidD_GetPreparsedData(device, &data)) {
    HIDP_CAPS caps{};
    if (HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS) {
      std::vector<std::uint8_t> ids;
      collectReportIds(HidP_Input, caps.NumberInputButtonCaps, caps.NumberInputValueCaps, data, ids);
      collectReportIds(HidP_Output, caps.NumberOutputButtonCaps, caps.NumberOutputValueCaps, data, ids);
      collectReportIds(HidP_Feature, caps.NumberFeatureButtonCaps, caps.NumberFeatureValueCaps, data, ids);
      layout = layoutFromCaps({caps.InputReportByteLength, caps.OutputReportByteLength, caps.FeatureReportByteLength, ids});
    }
    HidD_FreePreparsedData(data);
  }
  ::CloseHandle(device);
  return layout;
}

}  // namespace tamrik::platform::windows

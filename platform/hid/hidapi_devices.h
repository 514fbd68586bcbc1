#pragma once
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/device_backend.h"
#include "platform/hid/input_reports.h"
#include "platform/hid/report_descriptor.h"

namespace tamrik::platform {

// The HID devices of this computer through hidapi, whatever its backend: enumeration, handles,
// strings, feature reports and the framing of input reports. What differs between systems is left
// to the subclass: which paths may reach hidapi at all, where a device's report lengths come from,
// how a raw read is taken, and which devices hidapi cannot list but the user should hear of.
//
// The hidapi calls that turn text into wide strings (the listing, the opening, the device's
// strings, which hidapi learns all at once when first asked) run under Utf8Conversions, so that
// the strings come out whole whatever the process's locale.
class HidapiDevices : public DeviceBackend {
 public:
  ~HidapiDevices() override;
  HidapiDevices(const HidapiDevices&) = delete;
  HidapiDevices& operator=(const HidapiDevices&) = delete;

  std::vector<HidInterface> hidInterfaces() final;
  DeviceHandle open(const std::string& path, OpenMode mode) final;
  bool close(DeviceHandle handle) final;
  OpenFailure lastOpenFailure() final { return lastOpenFailure_; }

  std::optional<HidAttributes> attributes(DeviceHandle device) final;
  std::optional<std::u16string> string(DeviceHandle device, HidString which, std::size_t maxBytes) final;
  std::optional<HidCapabilities> capabilities(DeviceHandle device) final;
  bool setFeature(DeviceHandle device, std::span<const std::uint8_t> report) final;
  std::optional<std::size_t> getFeature(DeviceHandle device, std::span<std::uint8_t> report) final;
  InputReadResult readInputReports(DeviceHandle device, std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds firstReportTimeout) final;
  std::string lastError(DeviceHandle device) final;
  bool lastRequestUnanswered(DeviceHandle device) final;

 protected:
  HidapiDevices();

  // True when path names a device of the kind hidapi opens here; nothing else reaches hidapi.
  virtual bool mayOpen(const std::string& path) = 0;
  // The report lengths of the device at path, which hidapi has just opened; std::nullopt when
  // they cannot be learnt (the device then delivers no input reports).
  virtual std::optional<ReportDescriptorInfo> reportLayout(const std::string& path) = 0;
  // The raw read the input reports are collected with, made from hidapi's own.
  virtual RawReportReader rawReader(RawReportReader hidapiRead) { return hidapiRead; }
  // Why hidapi could not open the device at path; hidapiText is hidapi's own error string.
  virtual OpenFailure openFailure(const std::string& path, std::string hidapiText) {
    (void)path;
    return {OpenFailure::Kind::Other, std::move(hidapiText), {}};
  }
  // Interfaces of the system's own that hidapi does not list, listed after hidapi's: devices of
  // which the user should hear although no handle can be had. Their paths are refused by mayOpen.
  virtual std::vector<HidInterface> unlistedInterfaces() { return {}; }
  // Why the device at path, which mayOpen refused, cannot be opened.
  virtual OpenFailure refusedOpen(const std::string& path) {
    (void)path;
    return {OpenFailure::Kind::Absent, "not a HID device of this system", {}};
  }

 private:
  struct Device;
  Device* find(DeviceHandle handle);
  // Keeps hidapi's words for the request on device that has just failed, and whether it went
  // unanswered (error: errno as the request left it).
  void failed(Device& device, const char* request, int error = 0);

  std::map<DeviceHandle, std::unique_ptr<Device>> devices_;
  DeviceHandle next_ = 1;
  OpenFailure lastOpenFailure_;
};

}  // namespace tamrik::platform

#pragma once
#include <map>
#include <vector>

#include "platform/device_backend.h"

namespace tamrik::platform {

// Presents several device backends as one: enumeration lists the devices of each backend in turn,
// and every handle it gives out is routed to the backend that opened it. The program uses it to run
// simulated units next to real ones.
class RoutingDeviceBackend final : public DeviceBackend {
 public:
  explicit RoutingDeviceBackend(std::vector<DeviceBackend*> backends);

  std::vector<HidInterface> hidInterfaces() override;
  DeviceHandle open(const std::string& path, OpenMode mode) override;
  bool close(DeviceHandle handle) override;
  OpenFailure lastOpenFailure() override { return lastOpenFailure_; }

  std::optional<HidAttributes> attributes(DeviceHandle device) override;
  std::optional<std::u16string> string(DeviceHandle device, HidString which, std::size_t maxBytes) override;
  std::optional<HidCapabilities> capabilities(DeviceHandle device) override;
  bool setFeature(DeviceHandle device, std::span<const std::uint8_t> report) override;
  std::optional<std::size_t> getFeature(DeviceHandle device, std::span<std::uint8_t> report) override;
  InputReadResult readInputReports(DeviceHandle device, std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds firstReportTimeout) override;
  std::string lastError(DeviceHandle device) override;
  bool lastRequestUnanswered(DeviceHandle device) override;

 private:
  struct Route {
    DeviceBackend* backend;
    DeviceHandle inner;
  };
  const Route* find(DeviceHandle handle) const;

  std::vector<DeviceBackend*> backends_;
  std::map<std::string, DeviceBackend*> pathOwner_;  // from the latest enumeration
  std::map<DeviceHandle, Route> routes_;
  DeviceHandle next_ = 1;
  OpenFailure lastOpenFailure_;
};

}  // namespace tamrik::platform

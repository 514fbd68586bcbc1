#pragma once
// The unit as the receiver bridge's source, on the device backends (real units over hidapi,
// simulated ones): found by serial, its receiver messages switched on as the window switches
// them, its input reports read and the receiver bytes they carry handed on.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/tamrikctl/pty_bridge.h"
#include "platform/device_backend.h"

namespace tamrik::ctl {

class BridgeUnitSource final : public ReceiverSource {
 public:
  // serial: the unit to use; without one, the only unit attached.
  BridgeUnitSource(platform::DeviceBackend& devices, std::optional<std::string> serial);
  ~BridgeUnitSource() override;
  BridgeUnitSource(const BridgeUnitSource&) = delete;
  BridgeUnitSource& operator=(const BridgeUnitSource&) = delete;

  SourceOpen open() override;
  bool opened() const override { return platform::isValidHandle(handle_); }
  bool read(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds timeout) override;
  std::string name() const override { return serial_ ? *serial_ : "(none chosen)"; }

  // The receiver goes quiet for longer than this (another program switched its messages off):
  // the messages are switched on again.
  static constexpr std::chrono::seconds kQuietLimit{5};

 private:
  bool switchMessagesOn();
  void close();

  platform::DeviceBackend& devices_;
  // The unit asked for, or once one was opened, that one: after a loss only it is taken again.
  std::optional<std::string> serial_;
  platform::DeviceHandle handle_ = platform::kNoHandle;
  int inputReportLength_ = 0;
  int featureReportLength_ = 0;
  bool fastRates_ = false;
  std::vector<std::uint8_t> buffer_;
  std::chrono::steady_clock::time_point lastHeard_{};
};

}  // namespace tamrik::ctl

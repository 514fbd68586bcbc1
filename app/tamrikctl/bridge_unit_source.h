#pragma once
// The unit as the receiver bridge's source, on the device backends (real units over hidapi,
// simulated ones): found by serial, its receiver messages switched on as the window switches
// them, its input reports read and the receiver bytes they carry handed on. The unit itself is the
// core's (core::Unit); this class adds the bridge's choices and messages.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/tamrikctl/pty_bridge.h"
#include "core/receiver_stream.h"
#include "core/unit_session.h"
#include "platform/device_backend.h"
#include "platform/host_kernel.h"
#include "platform/system_clock.h"

namespace tamrik::ctl {

class BridgeUnitSource final : public ReceiverSource, private core::ReceiverSink {
 public:
  // serial: the unit to use; without one, the only unit attached.
  BridgeUnitSource(platform::DeviceBackend& devices, std::optional<std::string> serial);
  ~BridgeUnitSource() override;
  BridgeUnitSource(const BridgeUnitSource&) = delete;
  BridgeUnitSource& operator=(const BridgeUnitSource&) = delete;

  SourceOpen open() override;
  bool opened() const override { return unit_.isOpen(); }
  bool read(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds timeout) override;
  std::string name() const override { return serial_ ? *serial_ : "(none chosen)"; }

  // The receiver goes quiet for longer than this (another program switched its messages off):
  // the messages are switched on again.
  static constexpr std::chrono::seconds kQuietLimit{5};

 private:
  // The bridge never sets the computer's clock.
  class NoClock final : public platform::SystemClock {
   public:
    void set(const platform::SystemTime&, platform::ClockPrompt, platform::ClockAnswer answer) override {
      if (answer) answer(platform::ClockOutcome::Unavailable);
    }
  };

  void onReceiverBytes(std::span<const std::uint8_t> bytes) override;

  NoClock noClock_;
  platform::HostKernel kernel_;
  core::Unit unit_;
  core::ReceiverStream stream_{*this};
  // The unit asked for, or once one was opened, that one: after a loss only it is taken again.
  std::optional<std::string> serial_;
  std::vector<std::uint8_t>* out_ = nullptr;  // where the bytes of the read in progress go
  std::chrono::steady_clock::time_point lastHeard_{};
};

}  // namespace tamrik::ctl

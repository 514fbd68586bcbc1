#pragma once
// The unit as the receiver bridge's source, through the core: found by serial, its receiver
// messages switched on as the window switches them, its input reports read and the receiver bytes
// they carry handed on.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bridge/receiver_bridge.h"
#include "core/message_keeper.h"
#include "core/receiver_stream.h"
#include "core/unit.h"
#include "platform/device_backend.h"
#include "platform/host_kernel.h"

namespace tamrik::bridge {

class UnitSource final : public ReceiverSource {
 public:
  // serial: the unit to use; without one, the only unit attached. leapAnnouncements: the receiver
  // also sends NAV-TIMELS, every kLeapRate epochs (a receiver that does not know it refuses it).
  UnitSource(platform::DeviceBackend& devices, std::optional<std::string> serial, bool leapAnnouncements = false);
  UnitSource(const UnitSource&) = delete;
  UnitSource& operator=(const UnitSource&) = delete;

  base::Result<void> open() override;
  bool opened() const override { return unit_.isOpen(); }
  bool read(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds timeout) override;
  std::string name() const override { return serial_ ? *serial_ : "(none chosen)"; }
  bool passPoll(std::uint8_t messageClass, std::uint8_t messageId) override;

  static constexpr std::uint8_t kLeapRate = 16;

 private:
  // Collects the receiver bytes of the reports one read brings, in their order.
  struct ByteSink final : core::ReceiverSink {
    std::vector<std::uint8_t>* out = nullptr;
    void onReceiverBytes(std::span<const std::uint8_t> bytes) override {
      if (out) out->insert(out->end(), bytes.begin(), bytes.end());
    }
  };
  platform::UnsettableSystemClock noClock_;  // never sets the computer's clock
  platform::HostKernel kernel_;
  core::Unit unit_;
  bool switchMessagesOn();

  ByteSink sink_;
  core::ReceiverStream stream_{sink_};
  // The unit asked for, or once one was opened, that one: after a loss only it is taken again.
  std::optional<std::string> serial_;
  bool leapAnnouncements_;
  core::MessageKeeper<> keeper_{[this] { return switchMessagesOn(); }};
};

}  // namespace tamrik::bridge

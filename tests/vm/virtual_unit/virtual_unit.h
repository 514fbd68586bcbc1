#pragma once
// The unit behind the USB/IP server: its control endpoint and interrupt IN endpoint, answered by a
// simulated unit (platform/sim) through the simulator's own HID layer, so that the firmware, the
// receiver, the report cadence and the faults are those of `--simulate`.
#include <cstdint>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/sim/simulated_units.h"
#include "tests/vm/virtual_unit/usb_descriptors.h"
#include "tests/vm/virtual_unit/usbip_protocol.h"

namespace tamrik::vm {

class VirtualUnit {
 public:
  // frames: where every feature report taken by SET_REPORT is appended, or none.
  VirtualUnit(sim::SimulatedUnits& units, sim::UnitId id, std::ofstream* frames);
  ~VirtualUnit();
  VirtualUnit(const VirtualUnit&) = delete;
  VirtualUnit& operator=(const VirtualUnit&) = delete;

  // Runs the simulation up to now. The unit's current attachment (it changes with every replug and
  // re-enumeration), or none while it is unplugged.
  std::optional<std::string> attachment();
  DeviceIdentity identity();
  // False while the unit leaves its feature requests unanswered (no-answer, --stall-control).
  bool answersFeatureRequests();

  enum class Outcome { Done, Stall, Hold };
  struct ControlReply {
    Outcome outcome = Outcome::Stall;
    std::vector<std::uint8_t> data;  // Done: an IN transfer's bytes
  };
  // One control transfer: its setup packet and, for OUT, its data. Hold: the unit does not answer
  // (yet); ask again later.
  ControlReply control(const SetupPacket& setup, std::span<const std::uint8_t> data);

  // The next input report (without the report ID byte) once the unit has one for the host.
  std::optional<std::vector<std::uint8_t>> inputReport();
  // The host stopped polling the interrupt endpoint: what the unit would have sent is lost.
  void stopInput();
  // The host's side went away or the unit was plugged in again: a new enumeration starts.
  void reset();

  // Faults from signals.
  void unplug();
  void plugIn();
  void setAnswering(bool answers);

 private:
  ControlReply standard(const SetupPacket& setup);
  ControlReply hidClass(const SetupPacket& setup, std::span<const std::uint8_t> data);
  platform::DeviceHandle handle(platform::DeviceHandle& slot);
  void closeHandles();

  sim::SimulatedUnits& units_;
  sim::UnitId id_;
  std::ofstream* frames_;
  std::string path_;  // the attachment the handles belong to
  platform::DeviceHandle featureHandle_ = platform::kNoHandle;
  platform::DeviceHandle inputHandle_ = platform::kNoHandle;
  std::uint8_t configuration_ = 0;
  std::uint8_t idleRate_ = 0;
};

}  // namespace tamrik::vm

#pragma once
// The core's own: the open unit's handles and the device calls of each request. Only Unit (and the
// core's tests) use it.
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol.h"
#include "core/unit.h"
#include "platform/device_handle.h"

namespace tamrik::core {

// The one owner of the open unit: it alone opens and closes units and knows whether one is open.
// Not thread-safe; every call runs on the caller's thread and may pause it (kernel sleep).
class UnitSession {
 public:
  explicit UnitSession(UnitServices services) : s_(services) {}
  UnitSession(const UnitSession&) = delete;
  UnitSession& operator=(const UnitSession&) = delete;

  // The units present now, in the system's order: every HID interface not listed with another
  // device's IDs is opened; those whose attributes carry the unit's IDs are asked for their serial;
  // each is closed again. A unit whose serial cannot be read or is empty is left out; an interface
  // listed with the unit's IDs that cannot be opened is kept among the unopened.
  UnitList listUnits();

  // Opens the first unit whose serial is `serial`, with a handle for commands and one for the
  // strings, and reads its report lengths. A unit already open is closed first. False when no unit
  // with that serial is there.
  bool open(std::string_view serial);
  // Closes both handles; the session is then not connected. Harmless when nothing is open.
  void close();

  bool connected() const { return connected_; }
  // Connected, and the feature report is long enough to carry the settings report and commands.
  bool usable() const;
  // Counts every opening and closing, so that work that lets the program do other things in its
  // middle can tell that the unit it began with is no longer the one open.
  std::uint64_t epoch() const { return epoch_; }
  const OpenUnit& unit() const { return unit_; }
  // The open unit's two handles: commands, feature reports and input reports go on the first, the
  // string requests on the second.
  platform::DeviceHandle commandHandle() const { return commandHandle_; }
  platform::DeviceHandle stringHandle() const { return stringHandle_; }

  // The manufacturer, product and serial strings of the open unit, read in that order with a
  // pause of 5 ms before each. Nothing is read when no unit is open.
  UnitStrings readStrings();

  // The settings report of a usable unit: a 2 ms pause, the version query for firmware that answers
  // it (then 2 ms and its answer, which is dropped), 5 ms, and the report. std::nullopt when the
  // unit is not usable or the report could not be read whole.
  std::optional<SettingsReport> readSettings();

  // Sends a frame as a feature report on the command handle. Frames are sent only to a usable unit
  // and only when exactly as long as its feature report; true when the unit took it.
  bool send(std::span<const std::uint8_t> frame);
  // The feature report length of the open unit, for the frame builders of core/protocol.h.
  std::size_t frameLength() const;

  // The commands; each true when the unit took its frame (false also when the unit's feature report
  // cannot carry it).
  bool setOutputEnabled(bool enabled);
  bool setDriveStrength(std::uint8_t index);
  bool setBlink(bool on);
  bool writeRegister(std::uint8_t reg, std::uint8_t data);
  // Command 4 once; the window and Unit::programSettings send it twice.
  bool sendSettings(const numbers::Dividers& d);
  // Command 11 with the drift clamped to what the unit takes.
  bool sendClockDrift(std::int32_t drift);
  // Programs the serial; the unit then re-enumerates under it, so the caller closes the session.
  bool sendSerialNumber(const SerialNumberPlan& plan);
  // The output rate of one receiver message (command 8 carrying UBX CFG-MSG).
  bool setReceiverMessageRate(std::uint8_t messageClass, std::uint8_t messageId, std::uint8_t rate);
  // A poll for one receiver message (command 8 carrying that class and id without a payload).
  bool pollReceiver(std::uint8_t messageClass, std::uint8_t messageId);

  // Reads the input reports waiting, whole reports end to end into buffer, waiting at most
  // firstReportTimeout for the first one. ok false: the unit is gone (the session stays connected
  // until closed). Not connected: nothing is read and the result is not ok.
  platform::InputReadResult readInput(std::span<std::uint8_t> buffer, std::chrono::milliseconds firstReportTimeout);

  // A unit action begins (one call of Unit's). Within an action, once the unit has left a feature
  // request unanswered until the bound ran out, it is asked nothing more: each further request of
  // the action fails at once with that cause, so that a unit that stopped answering costs one
  // bound per action, not one per request.
  void beginAction() { unanswered_ = false; }
  // A feature request of the current action went unanswered.
  bool leftUnanswered() const { return unanswered_; }

  // Why the latest request that failed, failed (see Unit::lastError).
  const std::string& lastError() const { return lastError_; }
  void setLastError(std::string text) { lastError_ = std::move(text); }

 private:
  // The walk over the present HID interfaces. For each interface that carries the unit's IDs the
  // visitor receives its path, the open handle and its attributes; it returns true to stop the
  // walk and then owns the handle. Every other handle is closed.
  template <typename Visitor>
  void walkUnits(Visitor&& visit, std::vector<UnopenedUnit>* unopened = nullptr);
  std::optional<std::string> serialOf(platform::DeviceHandle handle);
  // Keeps the device's words for a request on handle that has just failed.
  void failed(std::string_view what, platform::DeviceHandle handle);
  // Whether the action may still make a feature request; when not, the request counts as failed.
  bool mayAsk(std::string_view what);

  UnitServices s_;
  bool connected_ = false;
  platform::DeviceHandle commandHandle_ = platform::kNoHandle;
  platform::DeviceHandle stringHandle_ = platform::kNoHandle;
  OpenUnit unit_;
  std::uint64_t epoch_ = 0;
  std::string lastError_;
  bool unanswered_ = false;  // a feature request of this action went unanswered
};

}  // namespace tamrik::core

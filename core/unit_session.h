#pragma once
// The open unit, and what a program does with it.
//
// A tool uses Unit, which owns a UnitSession:
//
//   tamrik::core::UnitServices services{hid, deviceSetup, kernel};  // the platform's services
//   tamrik::core::Unit unit(services);
//   for (const auto& u : unit.list())                        // serial, manufacturer, product,
//     std::cout << u.serial << ' ' << u.firmware << '\n';    // firmware, usable
//   if (unit.open("Q00001") != tamrik::core::OpenOutcome::Opened) return 3;  // or open() for the only one
//   const tamrik::core::UnitReadback r = unit.readback();   // identity + optional settings report
//   if (r.settings) std::cout << tamrik::core::outputHzText(r.settings->dividers) << " Hz\n";
//   unit.setOutputEnabled(true);                              // each command: true when the unit took it
//
//   struct Printer : tamrik::core::ReceiverSink {
//     void onNavPvt(const tamrik::core::NavPvt& m) override { std::cout << m.lat << ' ' << m.lon << '\n'; }
//   } printer;
//   tamrik::core::ReceiverStream stream(printer);
//   unit.setNavMessageRates();                                // the window's three NAV messages
//   while (unit.readReceiver(stream, std::chrono::milliseconds(20)) != tamrik::core::ReadOutcome::Lost) {}
//
// The window drives a UnitSession directly: it makes exactly the device calls, in the same order
// and with the same pauses, that the window's actions are known for.
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "numbers/dividers.h"
#include "numbers/frequency.h"
#include "core/protocol.h"
#include "core/receiver_stream.h"
#include "platform/device_handle.h"
#include "platform/device_setup_service.h"
#include "platform/hid_service.h"
#include "platform/kernel_service.h"

namespace tamrik::core {

// The platform services a unit is reached through.
struct UnitServices {
  platform::HidService& hid;
  platform::DeviceSetupService& deviceSetup;
  platform::KernelService& kernel;
};

// A unit found by listing: the interface path and the serial it is chosen by.
struct UnitEntry {
  std::string path;
  std::string serial;
  friend bool operator==(const UnitEntry&, const UnitEntry&) = default;
};

// The open unit as it was found. Valid while the session is connected.
struct OpenUnit {
  std::string path;
  std::string serial;  // the serial it was opened by
  std::uint16_t firmwareVersion = 0;
  int inputReportLength = 0;    // report ID byte included; 0 when the capabilities could not be read
  int featureReportLength = 0;  // likewise
};

// The strings a unit identifies itself with, as text (deviceText); empty optional when the request
// failed.
struct UnitStrings {
  std::optional<std::string> manufacturer;
  std::optional<std::string> product;
  std::optional<std::string> serial;
};

// The one owner of the open unit: it alone opens and closes units and knows whether one is open.
// Not thread-safe; every call runs on the caller's thread and may pause it (kernel sleep).
class UnitSession {
 public:
  explicit UnitSession(UnitServices services) : s_(services) {}
  UnitSession(const UnitSession&) = delete;
  UnitSession& operator=(const UnitSession&) = delete;

  // The units present now, in the system's order: every HID interface not listed with another
  // device's IDs is opened; those whose attributes carry the unit's IDs are asked for their serial;
  // each is closed again. A unit whose serial cannot be read or is empty is left out.
  std::vector<UnitEntry> listUnits();

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
  bool sendSettings(const Dividers& d);
  // Command 11 with the drift clamped to what the unit takes.
  bool sendClockDrift(std::int32_t drift);
  // Programs the serial; the unit then re-enumerates under it, so the caller closes the session.
  bool sendSerialNumber(const SerialNumberPlan& plan);
  // The output rate of one receiver message (command 8 carrying UBX CFG-MSG).
  bool setReceiverMessageRate(std::uint8_t messageClass, std::uint8_t messageId, std::uint8_t rate);

  // Reads the input reports waiting, whole reports end to end into buffer, waiting at most
  // firstReportTimeout for the first one. ok false: the unit is gone (the session stays connected
  // until closed). Not connected: nothing is read and the result is not ok.
  platform::InputReadResult readInput(std::span<std::uint8_t> buffer, std::chrono::milliseconds firstReportTimeout);

 private:
  // The walk over the present HID interfaces. For each interface that carries the unit's IDs the
  // visitor receives its path, the open handle and its attributes; it returns true to stop the
  // walk and then owns the handle. Every other handle is closed.
  template <typename Visitor>
  void walkUnits(Visitor&& visit);
  std::optional<std::string> serialOf(platform::DeviceHandle handle);

  UnitServices s_;
  bool connected_ = false;
  platform::DeviceHandle commandHandle_ = platform::kNoHandle;
  platform::DeviceHandle stringHandle_ = platform::kNoHandle;
  OpenUnit unit_;
  std::uint64_t epoch_ = 0;
};

// ---- The tool's view: Unit ----

// One unit as a listing shows it.
struct UnitIdentity {
  std::string serial;
  std::string manufacturer;  // empty when it could not be read
  std::string product;       // likewise
  std::uint16_t firmwareVersion = 0;
  std::string firmware;      // firmwareText
  // The window shows the firmware version, and chooses the receiver's rates by it, only when the
  // manufacturer string could be read.
  bool versionKnown = false;
  bool usable = false;       // its feature report carries the settings report and commands
  int featureReportLength = 0;
  int inputReportLength = 0;
};

struct UnitReadback {
  UnitIdentity identity;
  std::optional<SettingsReport> settings;  // empty for an unusable unit or a failed read
};

enum class OpenOutcome {
  Opened,
  NoUnit,        // no unit is attached
  NotFound,      // no unit with the serial asked for
  SeveralUnits,  // no serial given, and more than one unit is attached
};

enum class ReadOutcome {
  Reports,  // input reports arrived and went through the stream
  Silent,   // no whole report arrived in time
  Lost,     // the unit is gone; the unit has been closed
  Stopped,  // the sink stopped the stream
};

// A unit for tools: find it, open it, read it back, command it and read its receiver.
class Unit {
 public:
  explicit Unit(UnitServices services) : session_(services) {}
  ~Unit() { close(); }
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  // Every attached unit with its identity; each is opened in turn for its strings and closed again.
  // A unit that goes away meanwhile is left out. Closes a unit this object had open.
  std::vector<UnitIdentity> list();

  // Opens the unit with this serial, or without one the only unit attached.
  OpenOutcome open(std::optional<std::string_view> serial = std::nullopt);
  void close() { session_.close(); }
  bool isOpen() const { return session_.connected(); }

  // The open unit's identity and settings, read with the window's pauses.
  UnitReadback readback();

  bool setOutputEnabled(bool enabled) { return session_.setOutputEnabled(enabled); }
  bool setDriveStrength(std::uint8_t index) { return session_.setDriveStrength(index); }
  bool setBlink(bool on) { return session_.setBlink(on); }
  bool writeRegister(std::uint8_t reg, std::uint8_t data) { return session_.writeRegister(reg, data); }
  bool sendClockDrift(std::int32_t drift) { return session_.sendClockDrift(drift); }
  // Programs d as the window's Update does: command 4 twice, back to back. d is sent as given; the
  // caller applies forUpdate to bring it into the ranges Update uses. True when the unit took at
  // least one of the two.
  bool programSettings(const Dividers& d);
  // Checks the serial text as the window does, programs it and closes the unit, which
  // re-enumerates under its new serial. The problem text when the serial was refused (nothing is
  // sent then), empty when it was sent; `sent` tells whether the unit took it.
  struct SerialResult {
    std::string problem;
    bool sent = false;
    std::string next;  // the serial that follows, as the window offers it next
  };
  SerialResult setSerialNumber(std::string_view text);

  // The window's three NAV messages at the rates the window chooses for the unit's firmware (its
  // strings are read first when no readback since the opening has told whether the version is
  // known), or off. True when the unit took all three.
  bool setNavMessageRates();
  bool stopNavMessages();

  // One read of input reports, fed to the stream.
  ReadOutcome readReceiver(ReceiverStream& stream, std::chrono::milliseconds firstReportTimeout);

  UnitSession& session() { return session_; }

 private:
  UnitIdentity identity();

  UnitSession session_;
  std::optional<bool> versionKnown_;  // as the last identity read since the opening found it
  std::vector<std::uint8_t> buffer_;
};

}  // namespace tamrik::core

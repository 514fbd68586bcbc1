#pragma once
// The open unit, and what a program does with it: the one sequence of device calls, pauses and
// checks behind each of the unit's actions, for the window and the tools alike.
//
//   tamrik::core::UnitServices services{hid, deviceSetup, kernel};  // the platform's services
//   tamrik::core::Unit unit(services);
//   for (const auto& u : unit.list())                        // serial, manufacturer, product,
//     std::cout << u.serial << ' ' << u.firmware << '\n';    // firmware, usable
//   if (unit.open("Q00001") != tamrik::core::OpenOutcome::Opened) return 3;  // or open() for the only one
//   const tamrik::core::UnitReadback r = unit.readback();   // identity, settings report, receiver rates
//   if (r.settings) std::cout << tamrik::numbers::outputHzText(r.settings->dividers) << " Hz\n";
//   if (!unit.setOutputEnabled(true)) std::cerr << unit.lastError() << '\n';  // why it failed
//
//   struct Printer : tamrik::core::ReceiverSink {
//     void onNavPvt(const tamrik::core::NavPvt& m) override { std::cout << m.lat << ' ' << m.lon << '\n'; }
//   } printer;
//   tamrik::core::ReceiverStream stream(printer);
//   unit.setMessageRates(r.rates);                            // the window's three NAV messages
//   while (unit.readReceiver(stream, std::chrono::milliseconds(20)) != tamrik::core::ReadOutcome::Lost) {}
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol.h"
#include "core/receiver_stream.h"
#include "numbers/dividers.h"
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

// A unit that is attached (the system lists it with the unit's IDs) but could not be opened.
struct UnopenedUnit {
  std::string path;
  std::string serial;  // as the system's list gives it; may be empty
  platform::OpenFailure failure;
};

// What listing found: the units that can be used, and those that could not be opened.
struct UnitList {
  std::vector<UnitEntry> units;
  std::vector<UnopenedUnit> unopened;
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

class UnitSession;

// One unit as a listing or a readback shows it.
struct UnitIdentity {
  std::string serial;
  std::string manufacturer;  // empty when it could not be read
  std::string product;       // likewise
  UnitStrings strings;       // the three strings as read, each empty when its request failed
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
  // The rates of the receiver messages the program reads, chosen by the firmware when its version
  // is known.
  std::array<MessageRate, 3> rates{};
};

enum class OpenOutcome {
  Opened,
  NoUnit,        // no unit is attached
  NotFound,      // no unit with the serial asked for
  SeveralUnits,  // no serial given, and more than one unit is attached
  SameSerial,    // more than one attached unit carries the serial asked for
  Unopened,      // the unit is attached but could not be opened (busy, not permitted): see unopened()
};

enum class ReadOutcome {
  Reports,  // input reports arrived and went through the stream
  Silent,   // no whole report arrived in time
  Lost,     // the unit is gone; the unit has been closed
  Stopped,  // the sink stopped the stream
};

// How programming a divider set ended.
enum class ProgramOutcome {
  Taken,       // the unit took at least one of the two frames
  NotTaken,    // it took neither
  Stopped,     // the caller stopped after the first frame
  Unsendable,  // no frame for this divider set fits the unit's feature report: nothing was sent
};

// A unit for the window and the tools: find it, open it, read it back, command it and read its
// receiver. Every call runs on the caller's thread and may pause it (the kernel's sleep); none
// waits without a bound, and once the unit has left a feature request unanswered until the bound
// ran out, the rest of the call asks it nothing more. Not thread-safe.
class Unit {
 public:
  explicit Unit(UnitServices services);
  ~Unit();
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  // The units present now, in the system's order, by the serial each reports: every HID interface
  // not listed with another device's IDs is opened; those whose attributes carry the unit's IDs are
  // asked for their serial; each is closed again. A unit whose serial cannot be read or is empty is
  // left out; one listed with the unit's IDs that cannot be opened is kept in `unopened`.
  UnitList units();

  // Every attached unit with its identity; each is opened in turn for its strings and closed again.
  // A unit that goes away meanwhile is left out. Closes a unit this object had open.
  std::vector<UnitIdentity> list();

  // Opens the unit with this serial, or without one the only unit attached. A serial that two
  // attached units carry opens neither (SameSerial).
  OpenOutcome open(std::optional<std::string_view> serial = std::nullopt);
  // Opens the first unit in the system's order that reports this serial, and asks nothing more of
  // the system when none does: the window's poll, which tries many times a second. A unit already
  // open is closed first.
  bool openFirst(std::string_view serial);
  // The attached units that could not be opened, as the latest units() or failed open() found them.
  const std::vector<UnopenedUnit>& unopened() const { return unopened_; }
  void close();
  bool isOpen() const;
  // Open, and the feature report is long enough to carry the settings report and commands.
  bool usable() const;
  // Counts every opening and closing, so that work that lets the program do other things in its
  // middle can tell that the unit it began with is no longer the one open.
  std::uint64_t epoch() const;
  // The open unit as it was found; valid while it is open.
  const OpenUnit& openUnit() const;

  // The open unit's strings (a pause of 5 ms before each), its firmware and report lengths.
  UnitIdentity identity();
  // The open unit's identity and settings, read with the window's pauses, and the receiver rates
  // for its firmware. Nothing is read when no unit is open.
  UnitReadback readback();

  // The commands; each true when the unit took its frame (false also when the unit's feature report
  // cannot carry it, and then nothing is sent).
  bool setOutputEnabled(bool enabled);
  bool setDriveStrength(std::uint8_t index);
  bool setBlink(bool on);
  bool writeRegister(std::uint8_t reg, std::uint8_t data);
  // Command 11 with the drift clamped to what the unit takes.
  bool sendClockDrift(std::int32_t drift);
  // Programs d as the window's Update does: command 4 twice, back to back. d is sent as given; the
  // caller applies forUpdate to bring it into the ranges Update uses. After each frame,
  // afterFrame (when given) is called and may stop the programming by returning false.
  ProgramOutcome programSettings(const numbers::Dividers& d, const std::function<bool()>& afterFrame = {});
  // Checks the serial text as the window does, refuses a serial that another attached unit carries,
  // programs it and closes the unit, which re-enumerates under its new serial. The problem text when
  // the serial was refused (nothing is sent then, and the unit stays open), empty when it was sent;
  // `sent` tells whether the unit took it.
  struct SerialResult {
    std::string problem;
    bool sent = false;
    std::string next;  // the serial that follows, as the window offers it next
  };
  SerialResult setSerialNumber(std::string_view text);

  // The output rate of one receiver message (command 8 carrying UBX CFG-MSG).
  bool setReceiverMessageRate(std::uint8_t messageClass, std::uint8_t messageId, std::uint8_t rate);
  // A poll for one receiver message (command 8 carrying its class and id without a payload); the
  // answer comes in the receiver's stream.
  bool pollReceiver(std::uint8_t messageClass, std::uint8_t messageId);
  // Each of the rates, in order; true when the unit took all of them.
  bool setMessageRates(std::span<const MessageRate> rates);
  // The window's three NAV messages at the rates for the unit's firmware (its strings are read first
  // when no readback since the opening has told whether the version is known), or off.
  bool setNavMessageRates();
  bool stopNavMessages();

  // One read of input reports (room for a second of them), fed to the stream.
  ReadOutcome readReceiver(ReceiverStream& stream, std::chrono::milliseconds firstReportTimeout);

  // The latest call left a feature request unanswered until the bound ran out (and then asked
  // nothing more).
  bool leftUnanswered() const;

  // Why the latest request that failed, failed: what was asked and the system's words, e.g.
  // "reading the settings report: ioctl (GFEATURE): Connection timed out". Empty before any failure.
  const std::string& lastError() const;

 private:
  std::unique_ptr<UnitSession> session_;
  std::optional<bool> versionKnown_;  // as the last identity read since the opening found it
  std::vector<std::uint8_t> buffer_;
  std::vector<UnopenedUnit> unopened_;
};

// A line that tells the user about a unit that could not be opened: "unit Q00001 is attached but
// busy: another program holds it (gpsd (process 812))".
std::string unopenedText(const UnopenedUnit& u);

}  // namespace tamrik::core

#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/device_backend.h"
#include "platform/sim/fault_schedule.h"
#include "platform/sim/firmware_model.h"
#include "platform/sim/receiver_model.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/unit_state_store.h"

namespace tamrik::sim {

using UnitId = std::size_t;

struct UnitConfig {
  std::uint16_t vendorId = kTamrikVendorId;
  std::uint16_t productId = kTamrikProductId;
  std::uint16_t firmwareVersion = 0x0120;
  std::u16string serial = u"SIM001";
  std::u16string manufacturer = u"Tamrik";
  std::u16string product = u"Tamrik GPS Reference Clock";
  int inputReportLength = 65;    // report ID byte included
  int featureReportLength = 65;  // report ID byte included
  // Bytes a feature read delivers, report ID byte included, when fewer than the whole report; 0:
  // the whole report.
  int featureAnswerLength = 0;
  // false: some other HID device; it answers identity requests but takes no feature reports and
  // sends no input reports.
  bool runsFirmware = true;
  bool exclusive = false;       // held exclusively by another program: open fails
  bool serialReadable = true;   // false: the serial-number string request fails
  // false: feature requests get no answer; each fails once the host's bound has passed.
  bool answersFeatureRequests = true;
  // How long the host waits for the answer to a feature request before it gives up.
  std::chrono::milliseconds featureRequestBound{1000};

  ReceiverConfig receiver;
  // Receiver bytes from a capture instead of the receiver model. Playing starts when the unit is
  // first opened, so the reader sees the capture from its first byte, and ends after its last.
  std::shared_ptr<const std::vector<std::uint8_t>> replay;
  // Replay as fast as the reader takes it: every read returns as many reports as fit.
  bool replayFast = false;

  int lineBaud = 9600;  // receiver to firmware, 10 bits a byte
  std::chrono::milliseconds reportInterval{8};  // the interrupt endpoint's cadence
  // The host polls the interrupt endpoint on its own clock, which runs this many parts per million
  // slow against the receiver's GPS time, so that the reports' phase against the receiver's
  // seconds wanders as it does with a real host; 0: the two keep step.
  double hostClockPpm = 0;
  std::size_t queueCapacity = 128;             // unread reports per open handle; the oldest go first
  // A partial report goes out, padded with zeros, once the receiver has been quiet this long.
  std::chrono::milliseconds idleFlush{20};
  std::chrono::milliseconds pllStartup{400};
  std::chrono::milliseconds relockDelay{250};       // after a workable command 4
  std::chrono::milliseconds reenumerationDelay{1500};  // after a serial-number change

  // What the unit kept from an earlier run: it powers up with these settings and this serial.
  std::optional<KeptUnitState> kept;
  // The unit's file in the state store (setStateStore), named when the unit is first added and
  // kept whatever serial it later takes; empty: nothing is saved.
  std::string stateKey;
};

// When an epoch's messages began on the line from the receiver to the unit's firmware.
struct EpochBurst {
  UtcTime epoch;     // the solution's UTC second
  SteadyTime start;  // the instant its first byte left the receiver
};

// What a test may inspect of one unit.
struct UnitView {
  UnitId id = 0;
  UnitConfig config;          // with the faults applied so far
  std::u16string serial;
  bool attached = false;
  std::string path;           // empty while detached
  int attachments = 0;        // 1 after the first attach, +1 per replug or re-enumeration
  int openHandles = 0;        // live handles to the current attachment
  int opens = 0;              // requests to open the device, refused ones included, since it was added
  bool stalled = false;
  bool pllLocked = false;
  bool gpsSignal = false;
  std::uint8_t lossCount = 0;
  FirmwareState firmware;
  std::map<std::uint16_t, std::uint8_t> receiverRates;  // (class << 8 | id) -> rate
  std::uint8_t rate(std::uint8_t cls, std::uint8_t id) const;
  std::uint64_t reportsSent = 0;
  std::uint64_t reportsDropped = 0;  // pushed out of a full queue
  std::size_t replayPosition = 0;    // capture bytes taken from the file so far
  std::vector<EpochBurst> bursts;    // the latest epochs' bursts, oldest first (at most kKeptBursts)
  static constexpr std::size_t kKeptBursts = 64;
  bool replayFinished = false;
};

// Simulated units as a device backend: enumeration, open/close, the HID operations, a firmware
// model per unit and a receiver that streams UBX through input reports, all driven by a SimClock.
// Not thread-safe: the program calls it from its one thread.
class SimulatedUnits final : public platform::DeviceBackend {
 public:
  explicit SimulatedUnits(SimClock& clock);
  ~SimulatedUnits() override;
  SimulatedUnits(const SimulatedUnits&) = delete;
  SimulatedUnits& operator=(const SimulatedUnits&) = delete;

  UnitId addUnit(UnitConfig config);
  UnitId addForeignDevice(std::uint16_t vendorId, std::uint16_t productId, std::u16string product = u"USB Input Device");

  std::size_t unitCount() const { return units_.size(); }
  std::optional<UnitId> findBySerial(std::u16string_view serial) const;
  // Runs the simulation up to now and describes the unit.
  UnitView unit(UnitId id);
  SimClock& clock() { return clock_; }
  SteadyTime startTime() const { return start_; }

  // Faults, in effect at once.
  void unplug(UnitId id);
  void replug(UnitId id, std::optional<std::u16string> newSerial = std::nullopt);
  void changeSerial(UnitId id, std::u16string serial);  // re-enumerates after the unit's delay
  void stall(UnitId id);
  void resume(UnitId id);
  void setCorruption(UnitId id, double flipProbability, double dropProbability);
  void setGpsSignal(UnitId id, bool present);
  void setExclusive(UnitId id, bool exclusive);
  void setSerialReadable(UnitId id, bool readable);
  void setAnswersFeatureRequests(UnitId id, bool answers);
  void setFeatureReportLength(UnitId id, int length);
  void setFirmwareVersion(UnitId id, std::uint16_t version);
  void setStrings(UnitId id, std::u16string manufacturer, std::u16string product);
  // Manufacturer and product with code units above 0xFF; the serial's code units get 0x100 added,
  // so its low bytes (what a byte-wise reader keeps) do not change.
  void useWideStrings(UnitId id);

  // From now on, whenever what a unit keeps over a power cycle (its non-volatile settings and its
  // serial) changes, units with a state key save it in the store. A save that fails is reported
  // to onError and tried again at the next change.
  void setStateStore(std::shared_ptr<UnitStateStore> store, std::function<void(const std::string&)> onError);

  // Runs action at the given time since start.
  void schedule(std::chrono::milliseconds at, std::function<void()> action);
  // Schedules faults; each finds its unit by the serial it carries when it fires.
  void scheduleFaults(const std::vector<FaultEvent>& events);

  // True once some unit has replayed a capture and every attached unit that started one has
  // delivered all of it: every byte left the unit and each report carrying one was read (or
  // dropped from a full queue).
  bool replayFinished();

  // Runs the simulation up to the clock's now.
  void update();

  // DeviceBackend
  std::vector<platform::HidInterface> hidInterfaces() override;
  platform::DeviceHandle open(const std::string& path, platform::OpenMode mode) override;
  bool close(platform::DeviceHandle handle) override;
  platform::OpenFailure lastOpenFailure() override { return lastOpenFailure_; }
  std::optional<platform::HidAttributes> attributes(platform::DeviceHandle device) override;
  std::optional<std::u16string> string(platform::DeviceHandle device, platform::HidString which,
                                       std::size_t maxBytes) override;
  std::optional<platform::HidCapabilities> capabilities(platform::DeviceHandle device) override;
  bool setFeature(platform::DeviceHandle device, std::span<const std::uint8_t> report) override;
  std::optional<std::size_t> getFeature(platform::DeviceHandle device, std::span<std::uint8_t> report) override;
  platform::InputReadResult readInputReports(platform::DeviceHandle device, std::span<std::uint8_t> buffer,
                                             std::chrono::milliseconds firstReportTimeout) override;
  std::string lastError(platform::DeviceHandle device) override;
  bool lastRequestUnanswered(platform::DeviceHandle device) override;

 private:
  struct Unit;
  struct Report;
  struct Handle;

  Unit* live(platform::DeviceHandle h);
  Handle* liveHandle(platform::DeviceHandle h);
  void advance(SteadyTime t);
  void advanceUnit(Unit& u, SteadyTime t);
  void tick(Unit& u, SteadyTime t);
  void pump(Unit& u, SteadyTime t);
  void deliver(Unit& u, std::shared_ptr<Report> r);
  std::vector<std::uint8_t> buildReport(Unit& u, SteadyTime t, bool allowPartial, bool& carriesCapture);
  bool hasReaders(const Unit& u) const;
  bool unitReplayFinished(const Unit& u) const;
  void attach(Unit& u, SteadyTime t, bool powerCycle);
  void detach(Unit& u);
  void doUnplug(Unit& u);
  void doReplug(Unit& u, SteadyTime t, std::optional<std::u16string> serial);
  void doChangeSerial(Unit& u, SteadyTime t, std::u16string serial);
  void doSignal(Unit& u, SteadyTime t, bool present);
  void applyFault(const FaultEvent& e, SteadyTime t);
  void scheduleAt(SteadyTime t, std::function<void(SteadyTime)> action);
  SteadyTime simNow();
  void keepState(Unit& u);
  // A feature request on a unit that does not answer: the host's wait, then the failure.
  void waitOutFeatureRequest(Unit& u);
  void failed(platform::DeviceHandle h, std::string why, bool unanswered = false);

  SimClock& clock_;
  SteadyTime start_;
  std::vector<std::unique_ptr<Unit>> units_;
  std::map<platform::DeviceHandle, Handle> handles_;
  std::map<std::pair<SteadyTime, std::uint64_t>, std::function<void(SteadyTime)>> events_;
  std::uint64_t eventSeq_ = 0;
  std::optional<SteadyTime> eventTime_;  // while a scheduled action runs: its time
  platform::DeviceHandle nextHandle_ = 1;
  std::uint64_t nextPathNumber_ = 1;
  std::shared_ptr<UnitStateStore> store_;
  std::function<void(const std::string&)> onStoreError_;
  platform::OpenFailure lastOpenFailure_;
};

std::u16string toUtf16(std::string_view ascii);
std::string lowBytes(std::u16string_view text);

}  // namespace tamrik::sim

#pragma once
#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/health.h"
#include "core/receiver_stream.h"
#include "core/message_keeper.h"
#include "core/recording.h"
#include "core/sky.h"
#include "readback/device_link.h"
#include "gps/ubx_messages.h"
#include "platform/system_clock.h"
#include "window/window_state.h"

namespace tamrik::gps {

// The GPS monitor: reads the unit's input reports on every timer tick, watches the link, and shows
// what the receiver's messages say (the core's receiver stream assembles and decodes them, and this
// monitor is its sink); feeds the window's health record and shows it in the status lights'
// tooltips; sets the computer's clock, passes the receiver's clock drift on to the unit and opens
// the map.
//
// The poller and the decoders are never entered twice: decoding a NAV-SVINFO and the map click let
// the window process pending events, and a timer tick delivered then returns at once. The rounds
// inside a NAV-SVINFO leave the user's input for after the tick, so a click never runs inside it.
class GpsMonitor : private core::ReceiverSink {
 public:
  // How long a read waits for the first report. A unit that stays attached but goes silent costs
  // the window at most this long per tick.
  static constexpr std::chrono::milliseconds kFirstReportTimeout{20};

  GpsMonitor(window::WindowState& state, readback::DeviceLink& link);
  ~GpsMonitor();
  GpsMonitor(const GpsMonitor&) = delete;
  GpsMonitor& operator=(const GpsMonitor&) = delete;

  // The tick of Timer.
  void PollInputReports();
  // Click on the UTC label: the next valid NAV-PVT sets the computer's clock, and so does each later
  // one. The first setting after a click may ask the user for the right to change the clock; none
  // of the others may. The border of the label stays until a setting has succeeded; when the clock
  // cannot be set, the user is told why, once per click.
  void Label13Click();
  // Click on the position label: opens the last position in the default browser.
  void Label12Click();

  // Sends the last clock drift to the unit (command 11) and reads the unit's settings back.
  void SendReceiverClockDrift();

  const std::string& MapLink() const { return mapLink_; }
  std::int32_t LastClockDrift() const { return lastClockDrift_; }
  const core::MessageAssembler& Assembler() const { return stream_.assembler(); }

  // The sky of the latest NAV-SVINFO and the last hour, sampled at the end of every tick.
  const core::SkyRecord& Sky() const { return sky_; }
  core::SkyRecord& Sky() { return sky_; }
  // The time the sky's history is kept in: the machine's UTC unless the program gives another.
  void setUtcClock(core::UtcClock& clock) { utc_ = &clock; }
  core::UtcClock& utcClock() { return *utc_; }
  // Records the receiver's bytes, as the unit delivers them, from the next read on, and keeps the
  // receiver's messages switched on while it does (again after 5 s without a byte, as the bridge
  // does). A write that fails ends the recording; the user is told once.
  void startRecording(std::unique_ptr<core::Recording> recording);
  // Closes the recording whole. False when a write or the closing failed: recordingError() tells why.
  bool stopRecording();
  std::string recordingError() const { return recording_ ? recording_->error() : std::string(); }

  // Told when the sky or its history changed (a NAV-SVINFO, a new second, the unit lost).
  void setSkyObserver(std::function<void()> observer) { skyObserver_ = std::move(observer); }

 private:
  // The receiver stream's sink: what each message does to the window.
  void onInputStatus(const core::InputStatus& status) override;
  void onReceiverBytes(std::span<const std::uint8_t> bytes) override;
  void onMessage(std::uint8_t messageClass, std::uint8_t messageId, std::span<const std::uint8_t> payload) override;
  void onNavPvt(const core::NavPvt& pvt) override;
  void onNavSvInfo(const core::NavSvInfo& info) override;
  void onNavTimeUtc(const core::NavTimeUtc& utc) override;
  void onNavClock(const core::NavClock& clock) override;
  bool keepReading() override { return !readAbandoned(readEpoch_); }

  bool readAbandoned(std::uint64_t epoch) const;
  void linkLost();
  // The status lights' tooltips from the health record, as of now.
  void showHealth();
  void setClockFromNavPvt(const NavPvt& pvt);
  void clockSettingAnswered(platform::ClockPrompt prompt, platform::ClockOutcome outcome);

  window::WindowState& s_;
  readback::DeviceLink& link_;
  core::ReceiverStream stream_{*this};
  std::uint64_t readEpoch_ = 0;  // the opening of the unit the current read came from
  std::uint64_t skyEpoch_ = 0;  // the opening of the unit the sky and its readings came from
  std::string mapLink_;
  std::int32_t lastClockDrift_ = 0;
  // The clock setting the latest click on Label13 asked for.
  struct ClockClick {
    bool promptLeft = false;  // the click's one chance to ask the user for the right to set the clock
    bool succeeded = false;   // a setting since the click has set the clock
    bool told = false;        // the user has been told why the clock could not be set
  } clockClick_;
  // Answers of the clock service may arrive after this object is gone; they hold a weak reference.
  std::shared_ptr<GpsMonitor*> self_ = std::make_shared<GpsMonitor*>(this);
  core::SkyRecord sky_;
  core::UtcClock* utc_;
  window::WindowHealth::ListenerId healthListener_ = 0;
  std::function<void()> skyObserver_;
  std::unique_ptr<core::Recording> recording_;
  // Switches the receiver's messages on again when they stop while a recording runs.
  core::MessageKeeper<core::UtcTime> recordingKeeper_{[this] { return s_.link.unit().setNavMessageRates(); }};
  bool recordingTold_ = false;
  bool busy_ = false;             // a tick or the map click is in progress
  bool mapClickRunning_ = false;  // the map click is flashing its border
};

}  // namespace tamrik::gps

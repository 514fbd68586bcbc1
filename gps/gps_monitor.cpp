#include "gps/gps_monitor.h"

#include <algorithm>
#include <span>

#include "core/protocol.h"
#include "gps/ubx_messages.h"
#include "ui/satellite_chart.h"
#include "ui/status_lights.h"

namespace tamrik::gps {

using platform::ClockOutcome;
using platform::ClockPrompt;

namespace {

using ui::kLightRed;

// Holds a flag set for the length of a scope and gives it back its earlier value afterwards, so a
// map click run from inside a tick leaves the tick's mark in place.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag), before_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = before_; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
  bool before_;
};


}  // namespace

GpsMonitor::GpsMonitor(window::WindowState& state, readback::DeviceLink& link)
    : s_(state), link_(link), utc_(&state.health.clock()) {
  // The last hour shows the events of the unit the lights show.
  healthListener_ = s_.health.subscribe([this](const window::WindowHealthEvent& e) {
    if (e.serial == s_.health.shownSerial()) {
      sky_.event(e.event);
      if (skyObserver_) skyObserver_();
    }
  });
}

GpsMonitor::~GpsMonitor() { s_.health.unsubscribe(healthListener_); }

void GpsMonitor::PollInputReports() {
  if (s_.flags.Unloading || busy_) return;
  FlagScope running(busy_);
  window::UnitLink& link = s_.link;

  if (link.isOpen()) {
    // The reports go through the stream as they are read; a read that brings no whole report (the
    // unit is silent) leaves the labels as they are. The pace is set before the stream runs, so
    // that a unit switched while a message is drawn keeps the pace its switch set.
    readEpoch_ = link.unit().epoch();
    // Another opening (the user chose a unit, or it came back): the sky so far is not its own.
    if (readEpoch_ != skyEpoch_) {
      sky_.unitLost();
      skyEpoch_ = readEpoch_;
    }
    link.reading();
    if (link.unit().readReceiver(stream_, kFirstReportTimeout) == core::ReadOutcome::Lost ||
        link.reconnectRequested()) {
      linkLost();
    }
  }

  if (s_.flags.Unloading) return;
  if (!link.isOpen()) link_.Reconnect();
  s_.health.follow(link.unit());
  s_.health.check();
  // While it records, another program may switch the receiver quiet; a failure to switch it on
  // again is no loss.
  if (recording_ && !recording_->failed() && link.isOpen()) (void)recordingKeeper_.afterRead(false, utc_->now());
  const int before = sky_.history().count();
  const auto latest = sky_.history().latest();
  sky_.sample(utc_->now());
  if (skyObserver_ && (sky_.history().count() != before || sky_.history().latest() != latest)) skyObserver_();
  showHealth();
}

void GpsMonitor::showHealth() {
  // Every tick: the durations in the texts run on, and a unit gone quiet or away is said to be.
  s_.controls.LOS.setTooltip(s_.health.gpsTooltip());
  s_.controls.LOL.setTooltip(s_.health.pllTooltip());
}

bool GpsMonitor::readAbandoned(std::uint64_t epoch) const {
  // Events processed while decoding may have closed or switched the unit, or begun unloading the
  // window: the rest of the read, and of the message being drawn, belongs to a link that is gone.
  return s_.flags.Unloading || s_.link.unit().epoch() != epoch;
}

void GpsMonitor::onInputStatus(const core::InputStatus& status) {
  s_.health.inputStatus(s_.link.unit(), status);
  sky_.inputStatus(status, utc_->now());
  auto& c = s_.controls;
  c.Label16.setText("Signal loss count: " + std::to_string(status.lossCount));
  const ui::StatusLight gps = ui::gpsLight(status.gpsSignal), pll = ui::pllLight(status.pllLock);
  c.LOS.setBackColor(gps.color);
  c.LOS.setText(std::string(gps.caption));
  c.LOL.setBackColor(pll.color);
  c.LOL.setText(std::string(pll.caption));
}

void GpsMonitor::startRecording(std::unique_ptr<core::Recording> recording) {
  recording_ = std::move(recording);
  recordingKeeper_.switchedOn(utc_->now());
  recordingTold_ = false;
}

bool GpsMonitor::stopRecording() { return !recording_ || recording_->close(); }

void GpsMonitor::onReceiverBytes(std::span<const std::uint8_t> bytes) {
  if (!recording_ || recording_->failed()) return;
  if (!bytes.empty()) (void)recordingKeeper_.afterRead(true, utc_->now());
  if (recording_->write(bytes) || recordingTold_) return;
  recordingTold_ = true;
  s_.platform.toolkit.showNotice({platform::MessageIcon::Critical, platform::MessageButtons::Ok, "Recording",
                                  "The recording stopped: " + recording_->error() +
                                      ". What was received before is in the file."});
}

void GpsMonitor::linkLost() {
  s_.link.drop();
  s_.health.follow(s_.link.unit());
  sky_.unitLost();
  if (skyObserver_) skyObserver_();
  ui::resetSatelliteBars(s_.model, /*blacken=*/true);
  // LOL keeps its caption; only its colour tells of the loss. LOS is left alone.
  s_.controls.LOL.setBackColor(kLightRed);
}

void GpsMonitor::onMessage(std::uint8_t messageClass, std::uint8_t messageId, std::span<const std::uint8_t> payload) {
  // NAV messages arrive decoded; of the others, a few are shown as they come.
  if (s_.flags.Unloading || messageClass == core::kClassNav) return;
  if (auto text = DiagnosticText(messageClass, messageId, payload)) s_.controls.Label20.setText(*text);
}

void GpsMonitor::onNavPvt(const core::NavPvt& pvt) {
  if (s_.flags.Unloading) return;
  s_.health.navPvt(s_.link.unit(), pvt);
  if (s_.flags.SetClockRequested && pvt.timeValid()) setClockFromNavPvt(pvt);
  mapLink_ = MapLinkFor(pvt.lat, pvt.lon);
  s_.controls.Label12.setText(PositionText(pvt, s_.numberFormat));
  s_.controls.Label13.setText(UtcText(pvt));
}

void GpsMonitor::setClockFromNavPvt(const NavPvt& pvt) {
  const ClockPrompt prompt = clockClick_.promptLeft ? ClockPrompt::Allowed : ClockPrompt::Never;
  clockClick_.promptLeft = false;
  s_.platform.kernel.setSystemTime(ClockFromNavPvt(pvt), prompt,
                                   [self = std::weak_ptr<GpsMonitor*>(self_), prompt](ClockOutcome outcome) {
                                     if (const auto monitor = self.lock()) (*monitor)->clockSettingAnswered(prompt, outcome);
                                   });
}

void GpsMonitor::clockSettingAnswered(ClockPrompt prompt, ClockOutcome outcome) {
  if (s_.flags.Unloading) return;
  std::string why;
  switch (outcome) {
    case ClockOutcome::Set:
      clockClick_.succeeded = true;
      s_.controls.Label13.setBorder(false);
      return;
    case ClockOutcome::Invalid:
    case ClockOutcome::Busy:
      // This message's time only (a rounded 1000 ms), or the service still busy with an earlier
      // setting (one with the user, or a NAV-TIMEUTC's that nobody asked for): nothing was asked,
      // so a prompt the click still had is kept for the next message. An earlier setting's own
      // answer counts when it comes.
      if (prompt == ClockPrompt::Allowed) clockClick_.promptLeft = true;
      return;
    case ClockOutcome::AutomaticSync:
      why = "the system keeps the clock synchronised itself (automatic time synchronisation is on). "
            "Turn automatic time synchronisation off in the system's date and time settings, then click "
            "the UTC time again.";
      break;
    case ClockOutcome::NotPermitted:
      why = "changing the clock was not permitted. Setting it needs an administrator's permission.";
      break;
    case ClockOutcome::Unavailable:
      why = "the system's time service could not be reached.";
      break;
  }
  // The border stays on, so the window does not look as if the clock had been set. Once a setting
  // since the click has succeeded, a later refusal is not news worth a message.
  if (clockClick_.succeeded || clockClick_.told) return;
  clockClick_.told = true;
  s_.platform.toolkit.showNotice({platform::MessageIcon::Information, platform::MessageButtons::Ok,
                                  "Computer clock", "The computer's clock was not set from GPS: " + why});
}

void GpsMonitor::onNavSvInfo(const core::NavSvInfo& info) {
  if (s_.flags.Unloading) return;
  sky_.navSvInfo(info, utc_->now());
  if (skyObserver_) skyObserver_();
  platform::Toolkit& toolkit = s_.platform.toolkit;
  const std::uint64_t epoch = s_.link.unit().epoch();
  for (int i = 0; i < info.channels(); ++i) {
    if (const auto bar = BarFor(info.channel(i))) ui::setSatelliteBar(s_.model, bar->chn, bar->cno, bar->color);
    // Keeps the window painted through a long message. A tick delivered here returns at once, so
    // the payload read above stays in place; the user's input waits until the tick has ended, so
    // that no click handler, and no question it asks, runs inside the tick.
    toolkit.processPendingEvents(platform::UserInput::Defer);
    // A unit closed or switched meanwhile has had its chart reset: the rest of this message
    // belongs to the old link and must not draw on the new one.
    if (readAbandoned(epoch)) return;
  }
  toolkit.processPendingEvents(platform::UserInput::Defer);
}

void GpsMonitor::onNavTimeUtc(const core::NavTimeUtc& utc) {
  if (s_.flags.Unloading) return;
  // Nobody asked for this setting: it never prompts, and its outcome is not shown.
  if (const auto t = ClockFromNavTimeUtc(utc)) s_.platform.kernel.setSystemTime(*t, ClockPrompt::Never, {});
}

void GpsMonitor::onNavClock(const core::NavClock& clock) {
  if (s_.flags.Unloading) return;
  // A frequency request owns the settings boxes until it ends, its closest-frequency question
  // included: the report's readback would replace the offer and void the answer. The report goes
  // out with the first NAV-CLOCK after the request, as the stored drift is left unchanged.
  if (s_.flags.SearchRunning) return;
  if (!DriftWorthSending(clock, lastClockDrift_)) return;
  lastClockDrift_ = clock.clkD;
  SendReceiverClockDrift();
}

void GpsMonitor::SendReceiverClockDrift() {
  if (!s_.link.isOpen()) return;
  // The clamped value is kept, so a drift that stays beyond the range is sent again every time.
  lastClockDrift_ = core::clampDrift(lastClockDrift_);
  // A unit that left the command unanswered has nothing new to show, and reading it back would
  // hold the window for the bound once more.
  core::Unit& unit = s_.link.unit();
  if (!unit.sendClockDrift(lastClockDrift_) && unit.leftUnanswered()) return;
  link_.ReadUnitSettings(readback::Readback::AfterDrift);
}

void GpsMonitor::Label13Click() {
  if (s_.flags.Unloading) return;
  s_.flags.SetClockRequested = true;
  clockClick_ = ClockClick{.promptLeft = true};
  s_.controls.Label13.setBorder(true);
}

void GpsMonitor::Label12Click() {
  if (s_.flags.Unloading || mapClickRunning_) return;
  FlagScope click(mapClickRunning_);
  FlagScope running(busy_);
  s_.controls.Label12.setBorder(true);
  if (!mapLink_.empty()) s_.platform.shell.openUrl(mapLink_);  // a failure to start the browser is ignored
  s_.platform.toolkit.processPendingEvents();
  s_.platform.kernel.sleep(std::chrono::milliseconds(50));
  s_.controls.Label12.setBorder(false);
}

}  // namespace tamrik::gps

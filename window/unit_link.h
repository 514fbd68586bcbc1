#pragma once
#include <string_view>

#include "core/unit.h"
#include "ui/main_window_controls.h"

namespace tamrik::window {

// The window's connection to its unit, in one place: the unit (the core's), whether it is open and
// its settings loaded, whether the user has asked for another unit, and how often the poll timer
// asks. The subsystems change the connection only through its moves.
class UnitLink {
 public:
  enum class State { Closed, Open, SettingsLoaded };

  // Timer intervals in milliseconds: at design time, while input reports come, and while no unit
  // is open (after a loss, a switch or a new serial), when the poll looks for one.
  static constexpr int kStartInterval = 50;
  static constexpr int kReadInterval = 10;
  static constexpr int kLossInterval = 250;

  UnitLink(core::UnitServices services, ui::TimerHandle timer) : unit_(services), timer_(timer) {}
  UnitLink(const UnitLink&) = delete;
  UnitLink& operator=(const UnitLink&) = delete;

  core::Unit& unit() { return unit_; }
  const core::Unit& unit() const { return unit_; }

  State state() const {
    if (!unit_.isOpen()) return State::Closed;
    return settingsLoaded_ ? State::SettingsLoaded : State::Open;
  }
  bool isOpen() const { return unit_.isOpen(); }
  // The open unit's settings have been read back: it may be commanded.
  bool settingsLoaded() const { return state() == State::SettingsLoaded; }
  // The user chose a unit that could not be opened: the poll keeps trying.
  bool reconnectRequested() const { return reconnectRequested_; }

  // Opens the first unit with this serial; an open answers a pending reconnect request.
  bool open(std::string_view serial) {
    const bool opened = unit_.openFirst(serial);
    if (opened) reconnectRequested_ = false;
    return opened;
  }
  // Until a unit opens, the poll reconnects.
  void requestReconnect() { reconnectRequested_ = true; }
  // The user chose another unit: the one open is let go, and until one opens the poll reconnects.
  void switchUnit() {
    requestReconnect();
    if (unit_.isOpen()) drop();
    settingsLoaded_ = false;
  }
  // Reconnecting: nothing is loaded until the readback after the opening says so.
  bool reconnect(std::string_view serial) {
    settingsLoaded_ = false;
    return open(serial);
  }
  // A readback is about to rewrite the settings, or has read them (loaded).
  void settingsRead(bool loaded) { settingsLoaded_ = loaded; }
  // Input reports are coming: the poll asks often.
  void reading() { timer_.setInterval(kReadInterval); }
  // The unit is lost or let go: it is closed and the poll looks for a unit at the slower pace.
  void drop() {
    unit_.close();
    timer_.setInterval(kLossInterval);
    settingsLoaded_ = false;
  }
  // The unit took a new serial and leaves the bus to come back under it: the poll finds it again.
  void unitReenumerates() { drop(); }
  // The window goes away.
  void close() {
    unit_.close();
    settingsLoaded_ = false;
  }
  // Start-up: nothing open, nothing asked for.
  void reset() {
    settingsLoaded_ = false;
    reconnectRequested_ = false;
  }

 private:
  core::Unit unit_;
  ui::TimerHandle timer_;
  bool settingsLoaded_ = false;
  bool reconnectRequested_ = false;
};

}  // namespace tamrik::window

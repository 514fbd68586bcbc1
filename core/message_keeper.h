#pragma once
// The receiver's messages kept on while a program reads them. Another program may switch them off
// (a window that closes does); once no receiver byte has come for kQuietLimit, the reader switches
// them on again. The bridge, the monitor behind watch and the exporter, record and the window while
// it records each keep one, each on its own clock: the times it is given come from one clock.
#include <chrono>
#include <functional>

namespace tamrik::core {

class MessageKeeper {
 public:
  static constexpr std::chrono::seconds kQuietLimit{5};

  // switchOn sends the commands that switch the reader's messages on. Its failure is no loss of
  // the unit: the next read tells whether the unit is still there.
  explicit MessageKeeper(std::function<bool()> switchOn) : switchOn_(std::move(switchOn)) {}

  // The messages were switched on at now: the quiet counts from there.
  template <class Clock, class Duration>
  void switchedOn(std::chrono::time_point<Clock, Duration> now) {
    lastHeard_ = now.time_since_epoch();
  }
  // After each read of the unit: whether receiver bytes came. Switches the messages on again after
  // a longer quiet than the limit; true when it did.
  template <class Clock, class Duration>
  bool afterRead(bool heard, std::chrono::time_point<Clock, Duration> now) {
    const std::chrono::nanoseconds at = now.time_since_epoch();
    if (heard) {
      lastHeard_ = at;
      return false;
    }
    if (at - lastHeard_ <= kQuietLimit) return false;
    (void)switchOn_();
    lastHeard_ = at;
    return true;
  }

 private:
  std::function<bool()> switchOn_;
  std::chrono::nanoseconds lastHeard_{};  // since the epoch of the caller's clock
};

}  // namespace tamrik::core

#pragma once
// The receiver's messages kept on while a program reads them. Another program may switch them off
// (a window that closes does); once no receiver byte has come for kQuietLimit, the reader switches
// them on again. The bridge, the monitor behind watch and the exporter, record and the window while
// it records each keep one, each on its own clock: TimePoint is that clock's time.
#include <chrono>
#include <functional>

namespace tamrik::core {

template <class TimePoint = std::chrono::steady_clock::time_point>
class MessageKeeper {
 public:
  static constexpr std::chrono::seconds kQuietLimit{5};

  // switchOn sends the commands that switch the reader's messages on. Its failure is no loss of
  // the unit: the next read tells whether the unit is still there.
  explicit MessageKeeper(std::function<bool()> switchOn) : switchOn_(std::move(switchOn)) {}

  // The messages were switched on at now: the quiet counts from there.
  void switchedOn(TimePoint now) { lastHeard_ = now; }
  // After each read of the unit: whether receiver bytes came. Switches the messages on again after
  // a longer quiet than the limit; true when it did.
  bool afterRead(bool heard, TimePoint now) {
    if (heard) {
      lastHeard_ = now;
      return false;
    }
    if (now - lastHeard_ <= kQuietLimit) return false;
    (void)switchOn_();
    lastHeard_ = now;
    return true;
  }

 private:
  std::function<bool()> switchOn_;
  TimePoint lastHeard_{};
};

}  // namespace tamrik::core

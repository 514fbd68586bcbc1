#include "app/tamrikctl/stop_signals.h"

#include <csignal>
#include <iterator>

namespace tamrik::ctl {

namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onStopSignal(int) { stopRequested = 1; }

constexpr int kSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};
using Handler = void (*)(int);
Handler previous[std::size(kSignals)];

}  // namespace

StopSignals::StopSignals() {
  stopRequested = 0;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) previous[i] = std::signal(kSignals[i], onStopSignal);
}

StopSignals::~StopSignals() {
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    if (previous[i] != SIG_ERR) std::signal(kSignals[i], previous[i]);
  }
}

bool StopSignals::requested() const { return stopRequested != 0; }

}  // namespace tamrik::ctl

#pragma once
// What the receiver bridge alone knows, for Prometheus: the epochs it found and the samples it
// made, withheld and handed on, where they went and when they were last taken, and the TCP port's
// clients and polls. A snapshot (BridgeFigures) is taken on the bridge's thread and rendered on the
// HTTP server's.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/epoch_stamper.h"

namespace tamrik::bridge {

class ReceiverBridge;

// The TCP port's figures, when there is one.
struct TcpFigures {
  std::uint64_t connected = 0;     // clients connected now
  std::uint64_t accepted = 0;      // clients taken since the start
  std::uint64_t dropped = 0;       // clients dropped for not keeping up
  std::uint64_t turnedAway = 0;    // clients closed at once, beyond the limit
  std::uint64_t pollsPassed = 0;   // polls passed to the receiver
  std::uint64_t pollsRefused = 0;  // messages refused (anything but a poll, or polls while polls are off)
};

struct BridgeFigures {
  std::string unit;  // the unit's serial (as the bridge names it)
  bool unitOpen = false;
  bool rhythmKnown = false;  // the receiver's epochs are told apart
  std::uint64_t epochs = 0;
  std::uint64_t samplesMade = 0;
  EpochStamper::Withheld withheld;
  std::optional<std::chrono::system_clock::time_point> lastSampleMade;
  struct Sink {
    std::string taker;  // "chronyd", "ntpd"
    std::string path;
    std::uint64_t taken = 0;
    std::uint64_t notTaken = 0;
    std::optional<double> lastOffset;
    std::optional<std::chrono::system_clock::time_point> lastTaken;
  };
  std::vector<Sink> sinks;
  std::optional<TcpFigures> tcp;
};

// The figures of a bridge as it stands (on the bridge's thread); the TCP figures are added by who
// runs the port.
BridgeFigures figuresOf(const ReceiverBridge& bridge, std::string unit, bool unitOpen);

// The figures in the Prometheus text format, with tamrikctl_build_info{version}.
std::string bridgeMetricsText(const BridgeFigures& figures, std::string_view version);

}  // namespace tamrik::bridge

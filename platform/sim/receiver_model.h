#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "platform/sim/sim_clock.h"

namespace tamrik::sim {

struct ReceiverConfig {
  // A fixed antenna position (Ljubljana, on a roof).
  std::int32_t lat = 460569000;  // 1e-7 degree
  std::int32_t lon = 145058000;
  std::int32_t height = 341500;  // mm above the ellipsoid
  std::int32_t hMsl = 295200;    // mm above mean sea level
  // After power-up the receiver searches this long before it has a signal and a fix.
  std::chrono::milliseconds startupWithoutSignal{5000};
  // From the solution instant to the first byte of its messages on the serial line.
  std::chrono::milliseconds outputLatency{40};
  std::uint8_t pvtValid = 0x37;
  // Channels beyond the twelve steady ones that a real receiver reports in some epochs and not in
  // others (satellites searched for, lost, found again), so that NAV-SVINFO's length changes from
  // epoch to epoch; 0: always the same twelve. Drawn from a generator of their own, so that the
  // other messages are the same with or without them.
  int flickeringChannels = 0;
  // NAV-SVINFO first in each epoch, before NAV-PVT (as u-blox 7 receivers send it, right after
  // their first message), instead of last (as u-blox 8 receivers do).
  bool svInfoFirst = false;
  std::int32_t driftCentre = -180;  // ns/s; the drift wanders around it
  std::uint32_t seed = 1;
  // What MON-VER tells: a u-blox 8 receiver (as NAV-SVINFO's chip generation says) of protocol 18.
  std::string softwareVersion = "ROM CORE 3.01 (107888)";
  std::string hardwareVersion = "00080000";
  std::vector<std::string> versionExtensions = {"FWVER=SPG 3.01", "PROTVER=18.00", "GPS;GLO;GAL;BDS", "SBAS;IMES;QZSS"};
};

// A u-blox receiver as the unit's firmware sees it: one navigation solution per second at whole
// UTC seconds, and for each solution NAV-PVT, NAV-TIMEUTC, NAV-CLOCK and NAV-SVINFO (in that
// order, or NAV-SVINFO first) at the rates CFG-MSG set. Every rate is 0 after power-up, as the receiver keeps no
// configuration, so nothing is sent until the program switches the messages on. CFG-MSG is
// answered with ACK-ACK (ACK-NAK when malformed). Polls (messages without a payload) are answered
// as a u-blox 8 answers them: MON-VER and MON-HW with the message, CFG-PRT with the port the unit
// talks on (port 0, DDC) and ACK-ACK; any other CFG message with ACK-NAK, any other poll not at
// all.
class ReceiverModel {
 public:
  // A frame and the instant it leaves the receiver; epoch: the solution's UTC second when it is
  // the first frame of an epoch's messages.
  using Sink = std::function<void(SteadyTime, std::vector<std::uint8_t>, std::optional<UtcTime> epoch)>;

  ReceiverModel(ReceiverConfig config, SimClock& clock);

  // Restarts the receiver at t: rates off, searching for the start-up period.
  void powerOn(SteadyTime t);
  // Forgets solutions before t without sending them (the unit was away).
  void skipTo(SteadyTime t);

  // A message from the host. Returns true when it was understood.
  bool receive(std::uint8_t cls, std::uint8_t id, std::span<const std::uint8_t> payload, SteadyTime t);

  // Hands every frame due by t to the sink, with the instant it leaves the receiver, in order.
  void emitUntil(SteadyTime t, const Sink& sink);

  // An antenna fault: no signal while blocked.
  void setSignalBlocked(bool blocked) { blocked_ = blocked; }
  bool hasSignal(SteadyTime t) const;

  std::uint8_t rate(std::uint8_t cls, std::uint8_t id) const;
  const std::map<std::uint16_t, std::uint8_t>& rates() const { return rates_; }
  std::int32_t clockDrift() const { return static_cast<std::int32_t>(clkD_); }

 private:
  struct Channel {
    std::uint8_t svid;
    double elevCentre, elevSwing, azimStart, period, phase, cnoBias;
  };
  std::vector<std::vector<std::uint8_t>> solution(SteadyTime at);
  std::vector<std::uint8_t> monHw() const;
  double uniform(double lo, double hi);
  double noise(double sigma);

  ReceiverConfig config_;
  SimClock& clock_;
  std::mt19937 rng_;
  std::mt19937 flickerRng_;
  std::vector<Channel> channels_;
  std::map<std::uint16_t, std::uint8_t> rates_;
  std::deque<std::pair<SteadyTime, std::vector<std::uint8_t>>> replies_;
  SteadyTime poweredAt_{};
  SteadyTime nextEpoch_{};
  std::uint64_t epochs_ = 0;
  bool blocked_ = false;
  double clkD_ = 0;
  double clkB_ = 0;
};

}  // namespace tamrik::sim

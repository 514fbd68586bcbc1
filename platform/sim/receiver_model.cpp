#include "platform/sim/receiver_model.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "platform/sim/ubx_frame.h"

namespace tamrik::sim {

namespace {

std::uint16_t key(std::uint8_t cls, std::uint8_t id) { return static_cast<std::uint16_t>((cls << 8) | id); }

// The next whole UTC second at or after t, as a steady instant.
SteadyTime nextWholeSecond(SimClock& clock, SteadyTime t) {
  const UtcTime utc = clock.utcAt(t);
  const auto whole = std::chrono::ceil<std::chrono::seconds>(utc);
  return t + std::chrono::duration_cast<SteadyTime::duration>(whole - utc);
}

constexpr std::uint8_t kSvids[] = {2, 5, 7, 9, 13, 15, 18, 20, 24, 27, 29, 30};

}  // namespace

ReceiverModel::ReceiverModel(ReceiverConfig config, SimClock& clock)
    : config_(config), clock_(clock), rng_(config.seed), flickerRng_(config.seed ^ 0xF11Cu) {
  // Twelve channels: ten satellites well above the horizon, one low and weak, one below the
  // horizon (tracked from the almanac, no signal). Elevations swing over minutes.
  const std::size_t n = std::size(kSvids);
  for (std::size_t i = 0; i < n; ++i) {
    Channel c;
    c.svid = kSvids[i];
    c.azimStart = uniform(0, 360);
    c.period = uniform(300, 900);
    c.phase = uniform(0, 2 * std::numbers::pi);
    c.cnoBias = uniform(-3, 3);
    if (i == n - 1) {
      c.elevCentre = -5;
      c.elevSwing = 3;
    } else if (i == n - 2) {
      c.elevCentre = 9;
      c.elevSwing = 3;
      c.cnoBias = -8;
    } else {
      c.elevCentre = uniform(25, 70);
      c.elevSwing = uniform(5, 15);
    }
    channels_.push_back(c);
  }
  clkD_ = config_.driftCentre;
}

double ReceiverModel::uniform(double lo, double hi) {
  return lo + (hi - lo) * (static_cast<double>(rng_()) / 4294967296.0);
}

// A rough normal distribution that gives the same numbers on every standard library.
double ReceiverModel::noise(double sigma) {
  double s = 0;
  for (int i = 0; i < 4; ++i) s += uniform(-1, 1);
  return s * sigma * 0.866;
}

void ReceiverModel::powerOn(SteadyTime t) {
  poweredAt_ = t;
  rates_.clear();
  replies_.clear();
  epochs_ = 0;
  nextEpoch_ = nextWholeSecond(clock_, t);
}

void ReceiverModel::skipTo(SteadyTime t) {
  replies_.clear();
  if (nextEpoch_ < t) {
    const auto missed = std::chrono::duration_cast<std::chrono::seconds>(t - nextEpoch_).count();
    epochs_ += static_cast<std::uint64_t>(missed);
    nextEpoch_ = nextWholeSecond(clock_, t);
  }
}

bool ReceiverModel::hasSignal(SteadyTime t) const {
  return !blocked_ && t >= poweredAt_ + config_.startupWithoutSignal;
}

std::uint8_t ReceiverModel::rate(std::uint8_t cls, std::uint8_t id) const {
  auto it = rates_.find(key(cls, id));
  return it == rates_.end() ? 0 : it->second;
}

bool ReceiverModel::receive(std::uint8_t cls, std::uint8_t id, std::span<const std::uint8_t> payload, SteadyTime t) {
  const auto reply = [&](std::uint8_t replyClass, std::uint8_t replyId, std::span<const std::uint8_t> replyPayload) {
    replies_.emplace_back(t + std::chrono::milliseconds(2), ubx::frame(replyClass, replyId, replyPayload));
  };
  if (cls == ubx::kClassMon && payload.empty()) {
    if (id == ubx::kIdMonVer) {
      reply(cls, id, ubx::monVerPayload(config_.softwareVersion, config_.hardwareVersion, config_.versionExtensions));
      return true;
    }
    if (id == ubx::kIdMonHw) {
      reply(cls, id, monHw());
      return true;
    }
  }
  if (cls != ubx::kClassCfg) return false;
  bool ok = false;
  if (id == ubx::kIdCfgMsg && (payload.size() == 8 || payload.size() == 3)) {
    // Port 0 is the port the unit talks on; with three bytes the rate is for the current port.
    rates_[key(payload[0], payload[1])] = payload[2];
    ok = true;
  } else if (id == ubx::kIdCfgPrt && (payload.empty() || (payload.size() == 1 && payload[0] == 0))) {
    // The poll for the current port, or for port 0 by its number: the I2C (DDC) port at the
    // receiver's address 0x42, as after power-up.
    std::vector<std::uint8_t> port(20, 0);
    ubx::put<std::uint32_t>(port, 4, 0x42u << 1);
    ubx::put<std::uint16_t>(port, 12, 0x0007);  // UBX, NMEA and RTCM in
    ubx::put<std::uint16_t>(port, 14, 0x0003);  // UBX and NMEA out
    reply(cls, id, port);
    ok = true;
  }
  const std::uint8_t ack[] = {cls, id};
  reply(ubx::kClassAck, ok ? ubx::kIdAckAck : ubx::kIdAckNak, ack);
  return ok;
}

std::vector<std::uint8_t> ReceiverModel::monHw() const {
  // u-blox 8's 60 bytes: the pins, the noise level and the AGC of a receiver with its antenna
  // supervised and powered, no jamming, and the noise a little higher while it has no signal.
  std::vector<std::uint8_t> p(60, 0);
  ubx::put<std::uint32_t>(p, 0, 0x0001FBFF);              // pinSel
  ubx::put<std::uint32_t>(p, 8, 0x00010000);              // pinDir
  ubx::put<std::uint32_t>(p, 12, 0x0000EF5C);             // pinVal
  ubx::put<std::uint16_t>(p, 16, blocked_ ? 112 : 84);    // noisePerMS
  ubx::put<std::uint16_t>(p, 18, 6051);                   // agcCnt, of 8191
  p[20] = 2;                                              // aStatus: OK
  p[21] = 1;                                              // aPower: on
  p[22] = 0x01 | (1 << 2);                                // RTC calibrated; jamming: OK
  ubx::put<std::uint32_t>(p, 24, 0x0001FFFF);             // usedMask
  for (std::uint8_t i = 0; i < 17; ++i) p[28 + i] = i;    // VP: each virtual pin on its own pin
  p[45] = 9;                                              // jamInd
  return p;
}

void ReceiverModel::emitUntil(SteadyTime t, const Sink& sink) {
  for (;;) {
    const SteadyTime epochOut = nextEpoch_ + config_.outputLatency;
    const bool replyFirst = !replies_.empty() && replies_.front().first <= epochOut;
    if (replyFirst) {
      if (replies_.front().first > t) return;
      auto r = std::move(replies_.front());
      replies_.pop_front();
      sink(r.first, std::move(r.second), std::nullopt);
      continue;
    }
    if (epochOut > t) return;
    std::optional<UtcTime> epoch = clock_.utcAt(nextEpoch_);
    for (auto& f : solution(nextEpoch_)) {
      sink(epochOut, std::move(f), epoch);
      epoch.reset();
    }
    ++epochs_;
    nextEpoch_ += std::chrono::seconds(1);
  }
}

std::vector<std::vector<std::uint8_t>> ReceiverModel::solution(SteadyTime at) {
  const bool signal = hasSignal(at);
  const UtcTime utc = clock_.utcAt(at);
  const std::uint32_t iTow = ubx::gpsTimeOfWeekMs(utc);
  const double secs = std::chrono::duration<double>(at - poweredAt_).count();

  // Clock drift: a random walk pulled back to its centre, with a step now and then (temperature,
  // a bump) big enough for the host to pass a new value on to the unit.
  clkD_ += noise(2.5) + (config_.driftCentre - clkD_) * 0.02;
  if (uniform(0, 1) < 1.0 / 25) clkD_ += (uniform(0, 1) < 0.5 ? -1 : 1) * uniform(25, 60);
  clkB_ += clkD_;
  if (clkB_ > 1e6) clkB_ -= 1e6;  // the receiver steps its clock by a millisecond
  if (clkB_ < -1e6) clkB_ += 1e6;

  // Satellites.
  ubx::NavSvInfo sv;
  sv.iTow = iTow;
  int used = 0;
  for (std::size_t i = 0; i < channels_.size(); ++i) {
    const Channel& c = channels_[i];
    const double e = c.elevCentre + c.elevSwing * std::sin(2 * std::numbers::pi * secs / c.period + c.phase);
    ubx::SvInfoChannel ch;
    ch.chn = static_cast<std::uint8_t>(i);
    ch.svid = c.svid;
    ch.elev = static_cast<std::int8_t>(std::lround(e));
    ch.azim = static_cast<std::int16_t>(std::lround(std::fmod(c.azimStart + secs * 0.01, 360.0)));
    ch.flags = 0x04;  // orbit known from the almanac
    if (signal && e > 0) {
      const double cno = 22 + 0.35 * e + c.cnoBias + noise(1.5);
      ch.cno = static_cast<std::uint8_t>(std::clamp(std::lround(cno), 0L, 50L));
      ch.flags = 0x0C;
      ch.quality = 7;
      if (ch.cno >= 28 && ch.elev >= 10) {
        ch.flags = 0x0D;
        ++used;
      }
      ch.prRes = static_cast<std::int32_t>(std::lround(noise(80)));
    } else {
      ch.quality = signal ? 1 : 0;
    }
    sv.channels.push_back(ch);
  }
  // Channels searching for satellites that are not up yet (or just went down): each reported in
  // about half the epochs, without a signal.
  for (int i = 0; i < config_.flickeringChannels; ++i) {
    if ((flickerRng_() & 1u) == 0) continue;
    ubx::SvInfoChannel ch;
    ch.chn = static_cast<std::uint8_t>(channels_.size() + static_cast<std::size_t>(i));
    ch.svid = static_cast<std::uint8_t>(33 + i);
    ch.elev = static_cast<std::int8_t>(-2 - static_cast<int>(flickerRng_() % 10));
    ch.azim = static_cast<std::int16_t>(flickerRng_() % 360);
    ch.flags = 0x04;
    sv.channels.push_back(ch);
  }

  std::vector<std::vector<std::uint8_t>> out;
  const auto due = [&](std::uint8_t id) {
    const std::uint8_t r = rate(ubx::kClassNav, id);
    return r != 0 && epochs_ % r == 0;
  };

  ubx::UtcFields time = ubx::utcFields(utc);
  time.nano = static_cast<std::int32_t>(std::lround(noise(12000)));
  if (due(ubx::kIdNavPvt)) {
    ubx::NavPvt pvt;
    pvt.iTow = iTow;
    pvt.time = time;
    if (signal) {
      pvt.valid = config_.pvtValid;
      pvt.numSv = static_cast<std::uint8_t>(used);
      pvt.lat = config_.lat;
      pvt.lon = config_.lon;
      pvt.height = config_.height;
      pvt.hMsl = config_.hMsl;
      pvt.tAcc = static_cast<std::uint32_t>(uniform(12, 40));
      pvt.gSpeed = static_cast<std::int32_t>(uniform(0, 20));
    } else {
      // Searching: the time comes from the receiver's own clock and is not trusted.
      pvt.valid = 0;
      pvt.fixType = 0;
      pvt.flags = 0;
      pvt.flags2 = 0;
      pvt.numSv = 0;
      pvt.tAcc = 0xFFFFFFFF;
      pvt.hAcc = 0xFFFFFFFF;
      pvt.vAcc = 0xFFFFFFFF;
      pvt.pDop = 9999;
    }
    out.push_back(ubx::navPvtFrame(pvt));
  }
  if (due(ubx::kIdNavTimeUtc)) {
    ubx::NavTimeUtc tu;
    tu.iTow = iTow;
    tu.time = time;
    tu.valid = signal ? 0x37 : 0x00;
    tu.tAcc = signal ? 25 : 0xFFFFFFFF;
    out.push_back(ubx::navTimeUtcFrame(tu));
  }
  if (due(ubx::kIdNavClock)) {
    ubx::NavClock ck;
    ck.iTow = iTow;
    ck.clkB = static_cast<std::int32_t>(std::lround(clkB_));
    ck.clkD = static_cast<std::int32_t>(std::lround(clkD_));
    if (signal) {
      ck.tAcc = static_cast<std::uint32_t>(uniform(10, 40));
      ck.fAcc = static_cast<std::uint32_t>(uniform(0, 1) < 0.9 ? uniform(150, 480) : uniform(520, 1600));
    } else {
      ck.tAcc = static_cast<std::uint32_t>(uniform(1e5, 5e5));
      ck.fAcc = static_cast<std::uint32_t>(uniform(2e4, 3e4));
    }
    out.push_back(ubx::navClockFrame(ck));
  }
  if (due(ubx::kIdNavSvInfo)) {
    auto frame = ubx::navSvInfoFrame(sv);
    out.insert(config_.svInfoFirst ? out.begin() : out.end(), std::move(frame));
  }
  return out;
}

}  // namespace tamrik::sim

#include "platform/sim/firmware_model.h"

#include <algorithm>

#include "platform/sim/ubx_frame.h"

namespace tamrik::sim {

namespace {

void put24(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v & 0xFF);
  b[at + 1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
  b[at + 2] = static_cast<std::uint8_t>((v >> 16) & 0xFF);
}

std::uint32_t get24(std::span<const std::uint8_t> b, std::size_t at) {
  return b[at] | (static_cast<std::uint32_t>(b[at + 1]) << 8) | (static_cast<std::uint32_t>(b[at + 2]) << 16);
}

}  // namespace

bool DividerSet::workable() const {
  const double osc = fosc();
  const double pd = f3();
  return osc >= 4.2e9 && osc <= 6.5e9 && pd >= 2e3 && pd <= 2e6;
}

std::array<std::uint8_t, kSettingsBlockLength> encodeSettingsBlock(const DividerSet& s) {
  std::array<std::uint8_t, kSettingsBlockLength> b{};
  put24(b, 0, s.gps);
  put24(b, 3, s.n31 - 1);
  b[6] = static_cast<std::uint8_t>(s.n2Hs - 4);
  put24(b, 7, s.n2Ls - 1);
  b[10] = static_cast<std::uint8_t>(s.n1Hs - 4);
  put24(b, 11, s.nc1Ls - 1);
  put24(b, 14, s.nc2Ls - 1);
  b[17] = s.reserved;
  b[18] = s.bw;
  return b;
}

DividerSet decodeSettingsBlock(std::span<const std::uint8_t, kSettingsBlockLength> b) {
  DividerSet s;
  s.gps = get24(b, 0);
  s.n31 = get24(b, 3) + 1;
  s.n2Hs = b[6] + 4u;
  s.n2Ls = get24(b, 7) + 1;
  s.n1Hs = b[10] + 4u;
  s.nc1Ls = get24(b, 11) + 1;
  s.nc2Ls = get24(b, 14) + 1;
  s.reserved = b[17];
  s.bw = b[18];
  return s;
}

FirmwareModel::FirmwareModel(std::uint16_t firmwareVersion, std::chrono::milliseconds relockDelay,
                             std::chrono::milliseconds pllStartup)
    : version_(firmwareVersion), relockDelay_(relockDelay), pllStartup_(pllStartup) {}

void FirmwareModel::powerOn(SteadyTime now) {
  state_.ledBlinking = false;
  state_.pendingQuery.reset();
  lockAt_.reset();
  lockLost_ = false;
  if (state_.settings.workable()) lockAt_ = now + pllStartup_;
}

void FirmwareModel::restore(const NonVolatileSettings& kept) {
  state_.settings = kept.settings;
  state_.outputFlags = kept.outputFlags;
  state_.driveIndex = kept.driveIndex;
}

bool FirmwareModel::pllLocked(SteadyTime t) const { return !lockLost_ && lockAt_ && t >= *lockAt_; }

void FirmwareModel::setLockLost(bool lost, SteadyTime now) {
  if (lost == lockLost_) return;
  lockLost_ = lost;
  if (!lost && lockAt_) lockAt_ = std::max(*lockAt_, now + relockDelay_);
}

FirmwareModel::Effects FirmwareModel::apply(std::span<const std::uint8_t> r, SteadyTime now) {
  Effects fx;
  state_.commands.emplace_back(r.begin(), r.end());
  if (r.size() < 3) return fx;
  const auto fits = [&](std::size_t lastByte) { return lastByte < r.size(); };
  switch (r[1]) {
    case command::kOutputEnable:
      state_.outputFlags = r[2];
      break;
    case command::kLedBlink:
      state_.ledBlinking = r[2] != 0;
      break;
    case command::kDriveStrength:
      state_.driveIndex = r[2];
      break;
    case command::kSynthSettings:
      if (!fits(20)) break;
      // Reprogramming the synthesizer always drops the lock; it comes back only for a set the
      // PLL can follow.
      state_.settings = decodeSettingsBlock(std::span<const std::uint8_t, kSettingsBlockLength>(r.data() + 2, kSettingsBlockLength));
      lockAt_.reset();
      if (state_.settings.workable()) lockAt_ = now + relockDelay_;
      break;
    case command::kRegisterWrite:
      if (!fits(3)) break;
      state_.registers[r[2]] = r[3];
      break;
    case command::kReceiverPassThrough: {
      if (!fits(5)) break;
      PassThroughMessage m;
      m.cls = r[2];
      m.id = r[3];
      const std::size_t len = ubx::get<std::uint16_t>(r, 4);
      if (6 + len > r.size()) break;
      m.payload.assign(r.begin() + 6, r.begin() + 6 + static_cast<std::ptrdiff_t>(len));
      state_.passThrough.push_back(m);
      fx.toReceiver = std::move(m);
      break;
    }
    case command::kQuery:
      // Firmware before 1.14 does not know the query.
      if (version_ >= 0x0114) state_.pendingQuery = r[2];
      break;
    case command::kClockDrift:
      if (!fits(3)) break;
      state_.drift = ubx::get<std::int16_t>(r, 2);
      break;
    case command::kSerialNumber: {
      if (!fits(8) || r[2] != 'N') break;
      std::u16string serial;
      for (std::size_t i = 3; i <= 8; ++i) serial.push_back(static_cast<char16_t>(r[i]));
      fx.newSerial = serial;
      break;
    }
    default:
      break;
  }
  return fx;
}

std::vector<std::uint8_t> FirmwareModel::featureReport(std::size_t length) {
  std::vector<std::uint8_t> full(22, 0);
  ++state_.featureReads;
  if (state_.pendingQuery) {
    // Query 4 asks for the firmware version; other queries have no answer.
    if (*state_.pendingQuery == 4) {
      full[1] = static_cast<std::uint8_t>(version_ & 0xFF);
      full[2] = static_cast<std::uint8_t>(version_ >> 8);
    }
    state_.pendingQuery.reset();
  } else {
    full[1] = state_.outputFlags;
    full[2] = state_.driveIndex;
    const auto block = encodeSettingsBlock(state_.settings);
    std::copy(block.begin(), block.end(), full.begin() + 3);
  }
  full.resize(length, 0);
  return full;
}

}  // namespace tamrik::sim

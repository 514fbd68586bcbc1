#include "platform/sim/ubx_frame.h"

#include <algorithm>

namespace tamrik::sim::ubx {

Checksum checksum(std::span<const std::uint8_t> bytes) {
  Checksum ck;
  for (std::uint8_t b : bytes) {
    ck.a = static_cast<std::uint8_t>(ck.a + b);
    ck.b = static_cast<std::uint8_t>(ck.b + ck.a);
  }
  return ck;
}

std::vector<std::uint8_t> frame(std::uint8_t cls, std::uint8_t id, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> f;
  f.reserve(payload.size() + 8);
  f.push_back(kSync1);
  f.push_back(kSync2);
  f.push_back(cls);
  f.push_back(id);
  f.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
  f.push_back(static_cast<std::uint8_t>((payload.size() >> 8) & 0xFF));
  f.insert(f.end(), payload.begin(), payload.end());
  const Checksum ck = checksum(std::span<const std::uint8_t>(f).subspan(2));
  f.push_back(ck.a);
  f.push_back(ck.b);
  return f;
}

UtcFields utcFields(UtcTime t) {
  using namespace std::chrono;
  const auto day = floor<days>(t);
  const year_month_day ymd(day);
  const hh_mm_ss<nanoseconds> hms(t - day);
  UtcFields f;
  f.year = static_cast<std::uint16_t>(static_cast<int>(ymd.year()));
  f.month = static_cast<std::uint8_t>(static_cast<unsigned>(ymd.month()));
  f.day = static_cast<std::uint8_t>(static_cast<unsigned>(ymd.day()));
  f.hour = static_cast<std::uint8_t>(hms.hours().count());
  f.minute = static_cast<std::uint8_t>(hms.minutes().count());
  f.second = static_cast<std::uint8_t>(hms.seconds().count());
  f.nano = static_cast<std::int32_t>(hms.subseconds().count());
  return f;
}

std::uint32_t gpsTimeOfWeekMs(UtcTime t) {
  using namespace std::chrono;
  constexpr auto gpsEpoch = sys_days(year(1980) / January / 6);
  constexpr seconds leap(18);
  const auto sinceEpoch = duration_cast<milliseconds>(t.time_since_epoch() - gpsEpoch.time_since_epoch() + leap);
  constexpr milliseconds week = hours(24 * 7);
  auto tow = sinceEpoch % week;
  if (tow < milliseconds(0)) tow += week;
  return static_cast<std::uint32_t>(tow.count());
}

std::vector<std::uint8_t> navPvtPayload(const NavPvt& m) {
  std::vector<std::uint8_t> p(m.length, 0);
  std::span<std::uint8_t> s(p);
  put<std::uint32_t>(s, 0, m.iTow);
  put<std::uint16_t>(s, 4, m.time.year);
  put<std::uint8_t>(s, 6, m.time.month);
  put<std::uint8_t>(s, 7, m.time.day);
  put<std::uint8_t>(s, 8, m.time.hour);
  put<std::uint8_t>(s, 9, m.time.minute);
  put<std::uint8_t>(s, 10, m.time.second);
  put<std::uint8_t>(s, 11, m.valid);
  put<std::uint32_t>(s, 12, m.tAcc);
  put<std::int32_t>(s, 16, m.time.nano);
  put<std::uint8_t>(s, 20, m.fixType);
  put<std::uint8_t>(s, 21, m.flags);
  put<std::uint8_t>(s, 22, m.flags2);
  put<std::uint8_t>(s, 23, m.numSv);
  put<std::int32_t>(s, 24, m.lon);
  put<std::int32_t>(s, 28, m.lat);
  put<std::int32_t>(s, 32, m.height);
  put<std::int32_t>(s, 36, m.hMsl);
  put<std::uint32_t>(s, 40, m.hAcc);
  put<std::uint32_t>(s, 44, m.vAcc);
  // velN, velE, velD at 48..59 stay 0: the unit does not move.
  put<std::int32_t>(s, 60, m.gSpeed);
  put<std::uint32_t>(s, 68, m.sAcc);
  put<std::uint32_t>(s, 72, m.headAcc);
  put<std::uint16_t>(s, 76, m.pDop);
  return p;
}

std::vector<std::uint8_t> navPvtFrame(const NavPvt& m) { return frame(kClassNav, kIdNavPvt, navPvtPayload(m)); }

std::vector<std::uint8_t> navSvInfoPayload(const NavSvInfo& m) {
  std::vector<std::uint8_t> p(kSvInfoHeaderLength + kSvInfoBlockLength * m.channels.size(), 0);
  std::span<std::uint8_t> s(p);
  put<std::uint32_t>(s, 0, m.iTow);
  put<std::uint8_t>(s, 4, static_cast<std::uint8_t>(m.numChField >= 0 ? m.numChField : static_cast<int>(m.channels.size())));
  put<std::uint8_t>(s, 5, m.globalFlags);
  for (std::size_t i = 0; i < m.channels.size(); ++i) {
    const SvInfoChannel& c = m.channels[i];
    const std::size_t o = kSvInfoHeaderLength + kSvInfoBlockLength * i;
    put<std::uint8_t>(s, o + 0, c.chn);
    put<std::uint8_t>(s, o + 1, c.svid);
    put<std::uint8_t>(s, o + 2, c.flags);
    put<std::uint8_t>(s, o + 3, c.quality);
    put<std::uint8_t>(s, o + 4, c.cno);
    put<std::int8_t>(s, o + 5, c.elev);
    put<std::int16_t>(s, o + 6, c.azim);
    put<std::int32_t>(s, o + 8, c.prRes);
  }
  return p;
}

std::vector<std::uint8_t> navSvInfoFrame(const NavSvInfo& m) {
  return frame(kClassNav, kIdNavSvInfo, navSvInfoPayload(m));
}

std::vector<std::uint8_t> navClockPayload(const NavClock& m) {
  std::vector<std::uint8_t> p(kNavClockLength, 0);
  std::span<std::uint8_t> s(p);
  put<std::uint32_t>(s, 0, m.iTow);
  put<std::int32_t>(s, 4, m.clkB);
  put<std::int32_t>(s, 8, m.clkD);
  put<std::uint32_t>(s, 12, m.tAcc);
  put<std::uint32_t>(s, 16, m.fAcc);
  return p;
}

std::vector<std::uint8_t> navClockFrame(const NavClock& m) { return frame(kClassNav, kIdNavClock, navClockPayload(m)); }

std::vector<std::uint8_t> navTimeUtcPayload(const NavTimeUtc& m) {
  std::vector<std::uint8_t> p(kNavTimeUtcLength, 0);
  std::span<std::uint8_t> s(p);
  put<std::uint32_t>(s, 0, m.iTow);
  put<std::uint32_t>(s, 4, m.tAcc);
  put<std::int32_t>(s, 8, m.time.nano);
  put<std::uint16_t>(s, 12, m.time.year);
  put<std::uint8_t>(s, 14, m.time.month);
  put<std::uint8_t>(s, 15, m.time.day);
  put<std::uint8_t>(s, 16, m.time.hour);
  put<std::uint8_t>(s, 17, m.time.minute);
  put<std::uint8_t>(s, 18, m.time.second);
  put<std::uint8_t>(s, 19, m.valid);
  return p;
}

std::vector<std::uint8_t> navTimeUtcFrame(const NavTimeUtc& m) {
  return frame(kClassNav, kIdNavTimeUtc, navTimeUtcPayload(m));
}

std::vector<std::uint8_t> cfgMsgPayload(std::uint8_t msgClass, std::uint8_t msgId, std::uint8_t rateOnPort0) {
  return {msgClass, msgId, rateOnPort0, 0, 0, 0, 0, 0};
}

std::vector<std::uint8_t> monVerPayload(std::string_view software, std::string_view hardware,
                                        std::span<const std::string> extensions) {
  std::vector<std::uint8_t> p(40 + 30 * extensions.size(), 0);
  const auto field = [&p](std::size_t at, std::size_t width, std::string_view text) {
    std::copy_n(text.begin(), std::min(text.size(), width), p.begin() + static_cast<std::ptrdiff_t>(at));
  };
  field(0, 30, software);
  field(30, 10, hardware);
  for (std::size_t i = 0; i < extensions.size(); ++i) field(40 + 30 * i, 30, extensions[i]);
  return p;
}

std::vector<FoundFrame> findFrames(std::span<const std::uint8_t> stream) {
  std::vector<FoundFrame> found;
  std::size_t i = 0;
  while (i + 8 <= stream.size()) {
    if (stream[i] != kSync1 || stream[i + 1] != kSync2) {
      ++i;
      continue;
    }
    const std::size_t len = get<std::uint16_t>(stream, i + 4);
    const std::size_t end = i + 6 + len + 2;
    if (end > stream.size()) {
      ++i;
      continue;
    }
    const Checksum ck = checksum(stream.subspan(i + 2, 4 + len));
    if (ck.a != stream[end - 2] || ck.b != stream[end - 1]) {
      ++i;
      continue;
    }
    FoundFrame f;
    f.offset = i;
    f.cls = stream[i + 2];
    f.id = stream[i + 3];
    f.payload.assign(stream.begin() + static_cast<std::ptrdiff_t>(i + 6),
                     stream.begin() + static_cast<std::ptrdiff_t>(i + 6 + len));
    found.push_back(std::move(f));
    i = end;
  }
  return found;
}

}  // namespace tamrik::sim::ubx

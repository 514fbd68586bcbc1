#include "core/sky.h"

#include <algorithm>

namespace tamrik::core {

Constellation skyConstellation(std::uint8_t svid) {
  const Constellation c = constellationOf(svid);
  return c == Constellation::Imes ? Constellation::Other : c;
}

std::vector<SkySatellite> skyOf(const NavSvInfo& info) {
  std::vector<SkySatellite> sky;
  sky.reserve(static_cast<std::size_t>(info.channels()));
  for (int i = 0; i < info.channels(); ++i) {
    const SvChannel c = info.channel(i);
    if (c.svid == 0) continue;
    sky.push_back({c.svid, skyConstellation(c.svid), c.azim, c.elev, c.cno, c.used(), c.chn});
  }
  return sky;
}

std::optional<double> meanUsedCno(const std::vector<SkySatellite>& sky) {
  int n = 0, sum = 0;
  for (const SkySatellite& s : sky) {
    if (!s.used) continue;
    ++n;
    sum += s.cno;
  }
  if (n == 0) return std::nullopt;
  return static_cast<double>(sum) / n;
}

void SkyHistory::record(UtcTime now, const SkySample& sample) {
  const auto second = std::chrono::floor<std::chrono::seconds>(now);
  if (count_ > 0 && second < latest_) clear();  // the clock stepped back
  if (count_ == 0) {
    latest_ = second;
    count_ = 1;
  } else {
    const auto ahead = (second - latest_).count();
    // The seconds in between stay unknown; more than an hour of them leaves nothing of before.
    for (long long k = 1; k < std::min<long long>(ahead, kSeconds + 1); ++k) {
      samples_[static_cast<std::size_t>((latest_.time_since_epoch().count() + k) % kSeconds)] = {};
    }
    count_ = static_cast<int>(std::min<long long>(kSeconds, count_ + ahead));
    latest_ = second;
  }
  samples_[static_cast<std::size_t>(latest_.time_since_epoch().count() % kSeconds)] = sample;
}

const SkySample& SkyHistory::at(int i) const {
  const long long second = latest_.time_since_epoch().count() - (count_ - 1 - i);
  return samples_[static_cast<std::size_t>(((second % kSeconds) + kSeconds) % kSeconds)];
}

void SkyHistory::event(const SkyEvent& e) {
  events_[eventNext_] = e;
  eventNext_ = (eventNext_ + 1) % kEventCapacity;
  eventCount_ = std::min(eventCount_ + 1, kEventCapacity);
}

std::vector<SkyEvent> SkyHistory::events() const {
  std::vector<SkyEvent> out;
  if (count_ == 0) return out;
  const auto first = latest_ - std::chrono::seconds(count_ - 1);
  const std::size_t start = (eventNext_ + kEventCapacity - eventCount_) % kEventCapacity;
  for (std::size_t k = 0; k < eventCount_; ++k) {
    const SkyEvent& e = events_[(start + k) % kEventCapacity];
    if (e.at >= first && e.at < latest_ + std::chrono::seconds(1)) out.push_back(e);
  }
  return out;
}

void SkyHistory::clear() {
  count_ = 0;
  eventCount_ = eventNext_ = 0;
}

void SkyRecord::navSvInfo(const NavSvInfo& info, UtcTime now) {
  sky_ = skyOf(info);
  skyAt_ = now;
  skyLost_ = false;
}

void SkyRecord::inputStatus(const InputStatus& status, UtcTime now) {
  status_ = status;
  statusAt_ = now;
  statusLost_ = false;
}

void SkyRecord::unitLost() { skyLost_ = statusLost_ = true; }

bool SkyRecord::skyCurrent(UtcTime now) const {
  return !skyLost_ && skyAt_ && now >= *skyAt_ && now - *skyAt_ <= kSkyStaleAfter;
}

SkySample SkyRecord::present(UtcTime now) const {
  SkySample s;
  if (skyCurrent(now)) {
    s.used = static_cast<std::int16_t>(std::count_if(sky_.begin(), sky_.end(), [](const SkySatellite& x) { return x.used; }));
    if (const auto mean = meanUsedCno(sky_)) s.meanCno = static_cast<float>(*mean);
  }
  if (!statusLost_ && status_ && now >= *statusAt_ && now - *statusAt_ <= kReportSilenceLimit) {
    s.gpsSignal = status_->gpsSignal ? 1 : 0;
    s.pllLock = status_->pllLock ? 1 : 0;
  }
  return s;
}

void SkyRecord::sample(UtcTime now) { history_.record(now, present(now)); }

}  // namespace tamrik::core

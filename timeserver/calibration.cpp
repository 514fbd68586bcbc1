#include "timeserver/calibration.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "timeserver/time_server_files.h"

namespace tamrik::timeserver {

namespace {

std::vector<std::string_view> fieldsOf(std::string_view line) {
  std::vector<std::string_view> fields;
  while (true) {
    const std::size_t comma = line.find(',');
    fields.push_back(line.substr(0, comma));
    if (comma == std::string_view::npos) break;
    line.remove_prefix(comma + 1);
  }
  return fields;
}

template <class Line>
void forEachLine(std::string_view text, Line&& f) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) f(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

template <class T>
bool read(std::string_view text, T& value, int base = 10) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  std::from_chars_result r{};
  if constexpr (std::is_floating_point_v<T>) {
    r = std::from_chars(text.data(), text.data() + text.size(), value);
    if (r.ec == std::errc() && !std::isfinite(value)) return false;
  } else {
    r = std::from_chars(text.data(), text.data() + text.size(), value, base);
  }
  return r.ec == std::errc() && r.ptr == text.data() + text.size() && !text.empty();
}

double median(std::vector<double> values) {
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
  return (lower + upper) / 2;
}

// "never" in chronyc's CSV: the largest unsigned 32-bit number.
constexpr std::int64_t kNoSampleYet = 4294967295LL;

}  // namespace

std::vector<SourceRow> parseSources(std::string_view csv) {
  std::vector<SourceRow> rows;
  forEachLine(csv, [&](std::string_view line) {
    const std::vector<std::string_view> f = fieldsOf(line);
    if (f.size() < 10 || f[0].size() != 1 || f[1].size() != 1) return;
    SourceRow r;
    r.mode = f[0][0];
    r.state = f[1][0];
    r.name = std::string(f[2]);
    std::int64_t lastRx = 0;
    // Reach is written in octal.
    if (!read(f[3], r.stratum) || !read(f[4], r.poll) || !read(f[5], r.reach, 8) || !read(f[6], lastRx) ||
        !read(f[7], r.adjustedOffset) || !read(f[8], r.measuredOffset) || !read(f[9], r.error)) {
      return;
    }
    if (lastRx >= 0 && lastRx < kNoSampleYet) r.lastRx = lastRx;
    rows.push_back(std::move(r));
  });
  return rows;
}

std::vector<SourceStatsRow> parseSourceStats(std::string_view csv) {
  std::vector<SourceStatsRow> rows;
  forEachLine(csv, [&](std::string_view line) {
    const std::vector<std::string_view> f = fieldsOf(line);
    if (f.size() < 8) return;
    SourceStatsRow r;
    r.name = std::string(f[0]);
    if (!read(f[1], r.samples) || !read(f[6], r.offset) || !read(f[7], r.stdDev)) return;
    rows.push_back(std::move(r));
  });
  return rows;
}

bool otherSourceSelected(const std::vector<SourceRow>& rows, std::string_view refid) {
  return std::any_of(rows.begin(), rows.end(), [&](const SourceRow& r) { return r.state == '*' && r.name != refid; });
}

bool Calibration::look(const std::vector<SourceRow>& rows) {
  ++looks_;
  const bool steered = otherSourceSelected(rows, refid_);
  if (!steered) ++looksWithoutOther_;
  const auto it = std::find_if(rows.begin(), rows.end(), [&](const SourceRow& r) { return r.mode == '#' && r.name == refid_; });
  if (it == rows.end() || !it->lastRx) return false;
  // A new sample: its age went down, or its measurement changed.
  const bool fresh = !last_ || !last_->lastRx || *it->lastRx < *last_->lastRx || it->measuredOffset != last_->measuredOffset ||
                     it->error != last_->error;
  last_ = *it;
  if (!fresh || !steered) return false;
  offsets_.push_back(it->adjustedOffset);
  return true;
}

Calibration::Result Calibration::result(double configuredOffset) const {
  Result r;
  r.samples = static_cast<int>(offsets_.size());
  r.looksWithoutOther = looksWithoutOther_;
  if (looks_ > 0 && looksWithoutOther_ == looks_) {
    r.verdict = Verdict::NoOtherSource;
    r.reason = "no other source steered the clock while it measured: chrony needs a selectable server or pool "
               "(chronyc sources shows none marked *) to measure the unit's source against";
    return r;
  }
  if (r.samples < kFewestSamples) {
    r.verdict = Verdict::TooFewSamples;
    r.reason = "too few samples of " + refid_ + " while another source steered the clock: " + std::to_string(r.samples) +
               ", at least " + std::to_string(kFewestSamples) + " are needed (measure longer, or see why chrony lacks them)";
    return r;
  }
  r.median = median(offsets_);
  std::vector<double> deviations;
  deviations.reserve(offsets_.size());
  for (const double o : offsets_) deviations.push_back(std::fabs(o - r.median));
  r.spread = 1.4826 * median(deviations);
  // The median of normal noise has a standard error of about 1.25 sigma / sqrt(n).
  r.tolerance = std::max(1e-4, 3 * 1.2533 * r.spread / std::sqrt(static_cast<double>(r.samples)));
  r.offset = configuredOffset + r.median;
  r.delay = std::max(0.001, 2 * r.spread);
  r.selectable = r.spread <= kSelectableSpread;
  if (r.spread > kWidestSpread) {
    r.verdict = Verdict::TooWide;
    r.reason = "the offsets of " + refid_ + " spread by " + chronyNumber(std::round(r.spread * 1e4) / 10) + " ms, more than the " +
               chronyNumber(kWidestSpread * 1e3) + " ms a calibration can trust";
    return r;
  }
  r.verdict = Verdict::Measured;
  return r;
}

}  // namespace tamrik::timeserver

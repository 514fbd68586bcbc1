#pragma once
// What chronyc says of the sources (`chronyc -c -n sources`, `chronyc -c sourcestats`), and the
// calibration of the unit's source from it: while chrony steers the clock by other sources
// (network servers), the offsets chrony measures for the unit's source are its error against
// them. Their median, added to the offset configured while they were measured, is the offset to
// configure; their spread gives the delay and tells whether chrony may select the source.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamrik::timeserver {

// One line of `chronyc -c -n sources`.
struct SourceRow {
  char mode = '?';   // '^' server, '=' peer, '#' reference clock
  char state = '?';  // '*' selected, '+' combined, '-' not combined, '?' unusable, 'x' falseticker, '~' too variable
  std::string name;  // the refid of a reference clock, the address of a server
  int stratum = 0;
  int poll = 0;
  int reach = 0;                         // the last eight polls, one bit each
  std::optional<std::int64_t> lastRx;    // seconds since the last sample; none yet when absent
  double adjustedOffset = 0;             // of the last sample, seconds; positive: the clock is ahead of the source
  double measuredOffset = 0;
  double error = 0;
};
std::vector<SourceRow> parseSources(std::string_view csv);

// One line of `chronyc -c sourcestats`.
struct SourceStatsRow {
  std::string name;
  int samples = 0;
  double offset = 0;  // the estimated offset now, seconds
  double stdDev = 0;  // the samples' standard deviation, seconds
};
std::vector<SourceStatsRow> parseSourceStats(std::string_view csv);

// Whether another source than `refid` steers the clock: one is selected ('*').
bool otherSourceSelected(const std::vector<SourceRow>& rows, std::string_view refid);

class Calibration {
 public:
  explicit Calibration(std::string refid) : refid_(std::move(refid)) {}

  // One look at chrony's sources. The source's last sample is taken when it is a new one and
  // another source steered the clock while it was made; true when one was taken.
  bool look(const std::vector<SourceRow>& rows);

  // At least this many samples give a result.
  static constexpr int kFewestSamples = 8;
  // A spread beyond this is no source to calibrate: its offsets wander by tens of milliseconds.
  static constexpr double kWidestSpread = 0.050;
  // Up to this spread chrony may select the source: the unit keeps time to milliseconds.
  static constexpr double kSelectableSpread = 0.010;

  enum class Verdict { Measured, NoOtherSource, TooFewSamples, TooWide };
  struct Result {
    Verdict verdict = Verdict::TooFewSamples;
    int samples = 0;
    int looksWithoutOther = 0;  // looks at which no other source steered the clock
    double median = 0;
    double spread = 0;     // 1.4826 times the median absolute deviation: the standard deviation of normal noise
    double tolerance = 0;  // of the median: three standard errors, at least 0.1 ms
    double offset = 0;     // configured offset + median
    double delay = 0;      // twice the spread, at least 1 ms
    bool selectable = false;
    std::string reason;    // for any verdict but Measured, one line
  };
  Result result(double configuredOffset) const;

  const std::vector<double>& offsets() const { return offsets_; }
  int looks() const { return looks_; }

 private:
  std::string refid_;
  std::vector<double> offsets_;
  int looks_ = 0;
  int looksWithoutOther_ = 0;
  std::optional<SourceRow> last_;  // the source's row at the look before
};

}  // namespace tamrik::timeserver

#pragma once
// The frequency planner: turns a requested output frequency into the synthesizer's divider set.
//
// Pure computation, no window and no unit. The window calls SearchDividers with the number the user
// typed, shows progress and offers cancel through a SearchObserver, and shows the texts built here.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "numbers/dividers.h"

namespace tamrik::synth {

// One divider set. The search always yields n31 1, bw 9, even n2_ls and nc1_ls, and nc2_ls equal
// to nc1_ls.
using DividerSet = numbers::Dividers;

enum class PlanOutcome { Preset, Exact, Closest, Cancelled, TooLow, TooHigh };

struct PlanResult {
  PlanOutcome outcome;
  DividerSet dividers;  // meaningful for Preset, Exact, Closest; all zero otherwise
  double achievedHz;    // A: the output the divider set gives, as the search computed it
  double offsetHz;      // D = floor(10000*(A-F))/10000
  double offsetPpb;     // P = floor(1e12*|A-F|/F)/1000
};

// Observer the window passes so that it can show progress, keep the GPS display alive and cancel.
class SearchObserver {
 public:
  virtual ~SearchObserver() = default;
  // Fraction of the walk done, 0..1, as the walk computes it at the current output divider
  // (base + (cmax-c)/(cmax-cmin+1)/8); the planner reports it coarsely, at most every few
  // milliseconds of work and at least once per search, never decreasing within one search.
  // Returns false when the user cancelled; the search then ends with PlanOutcome::Cancelled.
  virtual bool progress(double fraction) = 0;
};

// Request bounds: the lowest and highest output the search can reach. A request equal to a bound
// is searched.
inline constexpr double kLowestRequestHz = 2100000000.0 / 11 / 524288;  // 364.1301935...
inline constexpr double kHighestRequestHz = 3250000000.0 / 4 / 1;        // 812500000

// The 43 reference frequencies the search never uses, in table order.
std::span<const std::int32_t> defaultExcludedReferences();

// Requests that have a fixed divider set and are never searched.
struct Preset {
  double requestHz;
  DividerSet dividers;
};
std::span<const Preset> presets();
// The preset for a request equal to one of the preset frequencies, else nothing.
std::optional<DividerSet> presetFor(double requestHz);

// TooLow or TooHigh for a request outside the bounds (NaN and -inf are too low, +inf too high);
// nothing for a request the search accepts. Presets are tested before this.
std::optional<PlanOutcome> rangeRefusal(double requestHz);

// D and P of the closest-frequency offer for achieved frequency a and request f.
double offsetHzOf(double a, double f);
double offsetPpbOf(double a, double f);

// The planner: preset, range check, then the divider search. Results are those of the exhaustive
// walk over N1_HS 11..4, NC1_LS/2 descending, N2_HS 11..4, N2_LS/2 ascending, found without
// visiting every candidate.
PlanResult SearchDividers(double requestHz, std::span<const std::int32_t> excluded,
                          SearchObserver* observer = nullptr);

// What the fast search did, for the benchmark and the tests.
struct SearchStats {
  std::uint64_t blocks = 0;          // (N1, c, N2) blocks of the walk in the range looked at
  std::uint64_t blocksExamined = 0;  // blocks that passed the error-bound filter
  std::uint64_t productsTested = 0;  // integers ref*l near the block's target that were factored
  std::uint64_t candidates = 0;      // candidates evaluated with the walk's arithmetic
  std::uint64_t fallbackBlocks = 0;  // blocks walked candidate by candidate
};
PlanResult SearchDividers(double requestHz, std::span<const std::int32_t> excluded,
                          SearchObserver* observer, SearchStats* stats);

// The refusal texts (title and body) exactly as the window shows them; decimalSeparator is used
// in "812.5". Empty title and text for outcomes that are not refusals.
struct Refusal {
  std::string title, text;
};
Refusal refusalFor(PlanOutcome outcome, char decimalSeparator);

// The closest-frequency offer (Yes/No box). requestText is the request exactly as typed; A, D and
// P are written in general number format (numbers::formatGeneral) with decimalSeparator.
struct ClosestOffer {
  std::string title, text;
};
ClosestOffer closestOfferFor(std::string_view requestText, const PlanResult& result,
                             char decimalSeparator);

}  // namespace tamrik::synth

#include "synth/planner/divider_plan.h"

#include <array>
#include <cmath>

#include "numbers/frequency.h"
#include "numbers/number_format.h"
#include "synth/planner/walk.h"

namespace tamrik::synth {
namespace {

constexpr std::array<std::int32_t, 43> kExcludedReferences = {
    2000000, 1500000, 1200000, 1000000, 750000, 600000, 500000, 400000, 375000,
    300000,  250000,  240000,  200000,  187500, 150000, 125000, 120000, 100000,
    93750,   80000,   75000,   62500,   60000,  50000,  48000,  46875,  40000,
    37500,   32000,   31250,   30000,   25600,  25000,  24000,  20000,  1600000,
    800000,  640000,  480000,  320000,  160000, 1920000, 960000};

// Compared in this order, each for exact equality.
constexpr std::array<Preset, 5> kPresets = {{
    {49152000.0, {98304, 1, 10, 5400, 9, 12, 12, 9}},
    {25000000.0, {78125, 1, 10, 7040, 10, 22, 22, 9}},
    {26000000.0, {83200, 1, 10, 6250, 10, 20, 20, 9}},
    {27000000.0, {95000, 1, 10, 5400, 5, 38, 38, 9}},
    {10000000.0, {97600, 1, 10, 6250, 5, 122, 122, 9}},
}};

PlanResult refused(PlanOutcome outcome) { return PlanResult{outcome, {}, 0.0, 0.0, 0.0}; }

}  // namespace

std::span<const std::int32_t> defaultExcludedReferences() { return kExcludedReferences; }

std::span<const Preset> presets() { return kPresets; }

std::optional<DividerSet> presetFor(double requestHz) {
  for (const Preset& p : kPresets) {
    if (requestHz == p.requestHz) return p.dividers;
  }
  return std::nullopt;
}

std::optional<PlanOutcome> rangeRefusal(double requestHz) {
  if (std::isnan(requestHz) || requestHz < kLowestRequestHz) return PlanOutcome::TooLow;
  if (requestHz > kHighestRequestHz) return PlanOutcome::TooHigh;
  return std::nullopt;
}

double offsetHzOf(double a, double f) { return std::floor(10000.0 * (a - f)) / 10000.0; }

double offsetPpbOf(double a, double f) {
  return std::floor(1e12 * std::fabs(a - f) / f) / 1000.0;
}

PlanResult SearchDividers(double requestHz, std::span<const std::int32_t> excluded,
                          SearchObserver* observer) {
  return SearchDividers(requestHz, excluded, observer, nullptr);
}

PlanResult SearchDividers(double requestHz, std::span<const std::int32_t> excluded,
                          SearchObserver* observer, SearchStats* stats) {
  if (const auto preset = presetFor(requestHz)) {
    const double a = numbers::displayedOutputHz(*preset);
    return PlanResult{PlanOutcome::Preset, *preset, a, offsetHzOf(a, requestHz),
                      offsetPpbOf(a, requestHz)};
  }
  if (const auto refusal = rangeRefusal(requestHz)) return refused(*refusal);

  const detail::WalkResult walk = detail::fastWalk(requestHz, excluded, {}, observer, stats);
  switch (walk.end) {
    case detail::WalkEnd::Cancelled:
      return refused(PlanOutcome::Cancelled);
    case detail::WalkEnd::Exact:
      return PlanResult{PlanOutcome::Exact, walk.dividers, walk.achievedHz, 0.0, 0.0};
    case detail::WalkEnd::Closest:
      break;
  }
  return PlanResult{PlanOutcome::Closest, walk.dividers, walk.achievedHz,
                    offsetHzOf(walk.achievedHz, requestHz),
                    offsetPpbOf(walk.achievedHz, requestHz)};
}

namespace {
std::string formatGeneral(double value, char decimalSeparator) {
  return numbers::formatGeneral(value, std::string_view(&decimalSeparator, 1));
}
}  // namespace

Refusal refusalFor(PlanOutcome outcome, char decimalSeparator) {
  switch (outcome) {
    case PlanOutcome::TooLow: {
      const auto lowest = static_cast<long>(std::floor(2100000000.0 / 11 / 524288 + 0.999));
      return {"Frequency too low", "Lowest available frequency is " + std::to_string(lowest) + " Hz"};
    }
    case PlanOutcome::TooHigh:
      return {"Frequency too high", "Highest available frequency is " +
                                        formatGeneral(3250000000.0 / 4 / 1 / 1000000,
                                                      decimalSeparator) +
                                        " MHz"};
    default:
      return {};
  }
}

ClosestOffer closestOfferFor(std::string_view requestText, const PlanResult& result,
                             char decimalSeparator) {
  const std::string a = formatGeneral(result.achievedHz, decimalSeparator);
  std::string text(requestText);
  text += " Hz is not available\r\n\r\n";
  text += a + " Hz is closest, off by " + formatGeneral(result.offsetHz, decimalSeparator) +
          " Hz (" + formatGeneral(result.offsetPpb, decimalSeparator) + "ppb)\r\n\r\n";
  text += "Set output to " + a + " Hz?";
  return {"Cannot set exact frequency", std::move(text)};
}

}  // namespace tamrik::synth

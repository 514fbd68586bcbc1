#pragma once
// Internal interface of the divider search, shared by the planner, its tests and its benchmark.
//
// The walk visits candidates in this order: N1 11..4, c = NC1_LS/2 from cmax down to cmin,
// N2 11..4, l = N2_LS/2 from lmin up to lmax. Each candidate's reference is q/l rounded half to
// even, an excluded reference counts as 1 Hz, a reference that is a multiple of 48 is rejected, and
// a candidate replaces the best one only with a strictly smaller error. The walk ends at the first
// candidate whose frequency equals the request exactly.

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

#include "synth/planner/divider_plan.h"

namespace tamrik::synth::detail {

// A candidate's reference before the exclusions: q/l rounded half to even. std::rint gives exactly
// what std::nearbyint gives (both round in the current mode, to nearest-even by default) and differs
// only in raising the inexact flag, which nothing reads. MinGW-w64's nearbyint saves and restores
// the whole floating-point environment on every call, some 15 times slower than rint, and the
// walk calls this in its innermost loop.
inline std::int32_t walkReference(double q, double l) { return static_cast<std::int32_t>(std::rint(q / l)); }

// The walk's starting error; every real candidate beats it.
inline constexpr double kStartingBest = 999999999.0;

// Restricts a walk to part of its range (tests compare the two implementations on slices of the
// low-frequency walks, which are far too long to walk whole). The progress fraction is computed
// from the unrestricted bounds.
struct WalkWindow {
  int n1High = 11;
  int n1Low = 4;
  std::int64_t cHigh = std::numeric_limits<std::int64_t>::max();
  std::int64_t cLow = 0;
};

enum class WalkEnd { Exact, Closest, Cancelled };

struct WalkResult {
  WalkEnd end = WalkEnd::Closest;
  DividerSet dividers{};       // the boxes after the walk; all zero when nothing was accepted
  double achievedHz = 0.0;     // A
  double bestError = kStartingBest;
  friend bool operator==(const WalkResult&, const WalkResult&) = default;
};

// The walk's bounds, computed exactly as the walk computes them.
struct CRange {
  std::int64_t cmin, cmax;
};
CRange outputDividerRange(double f, int n1);

// The fast search: the same result as the exhaustive walk over `window`.
WalkResult fastWalk(double f, std::span<const std::int32_t> excluded, const WalkWindow& window,
                    SearchObserver* observer, SearchStats* stats);

}  // namespace tamrik::synth::detail

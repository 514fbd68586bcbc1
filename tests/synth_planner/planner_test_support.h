#pragma once
// Helpers shared by the planner's tests: the divider-set invariants, bit-exact comparison of two
// walks, and a two-thread runner that compares the planner with the reference walk.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "numbers/frequency.h"
#include "numbers/number_format.h"
#include "synth/planner/divider_plan.h"
#include "synth/planner/walk.h"
#include "tests/synth_planner/literal_walk.h"

namespace tamrik::synth::testing {

// The five fixed divider sets as the unit's documentation gives them, written out here rather
// than taken from the planner, so that a changed preset cannot agree with itself.
struct FixedSet {
  double requestHz;
  DividerSet dividers;
};
inline constexpr FixedSet kFixedSets[] = {
    {49152000, {98304, 1, 10, 5400, 9, 12, 12, 9}}, {25000000, {78125, 1, 10, 7040, 10, 22, 22, 9}},
    {26000000, {83200, 1, 10, 6250, 10, 20, 20, 9}}, {27000000, {95000, 1, 10, 5400, 5, 38, 38, 9}},
    {10000000, {97600, 1, 10, 6250, 5, 122, 122, 9}},
};

// What every divider set that a search ends with must satisfy, and how A, D and P relate to it.
// (Presets are not searched: 49.152 MHz uses 98304 Hz, a multiple of 48.)
inline void expectSearchInvariants(double f, const PlanResult& r) {
  SCOPED_TRACE("request " + numbers::formatGeneral(f));
  ASSERT_TRUE(r.outcome == PlanOutcome::Exact || r.outcome == PlanOutcome::Closest);
  const DividerSet& d = r.dividers;
  EXPECT_EQ(d.n31, 1);
  EXPECT_EQ(d.bw, 9);
  EXPECT_EQ(d.nc2_ls, d.nc1_ls);
  EXPECT_EQ(d.nc1_ls % 2, 0);
  EXPECT_EQ(d.n2_ls % 2, 0);
  EXPECT_GE(d.nc1_ls, 2);
  EXPECT_LE(d.nc1_ls, 1048576);
  EXPECT_GE(d.n2_ls, 2);
  EXPECT_LE(d.n2_ls, 1048576);
  EXPECT_GE(d.n1_hs, 4);
  EXPECT_LE(d.n1_hs, 11);
  EXPECT_GE(d.n2_hs, 4);
  EXPECT_LE(d.n2_hs, 11);
  EXPECT_GE(d.gps, 20000);
  EXPECT_LE(d.gps, 200000);
  EXPECT_NE(d.gps % 48, 0);
  const auto excluded = defaultExcludedReferences();
  EXPECT_EQ(std::find(excluded.begin(), excluded.end(), d.gps), excluded.end());
  // The oscillator stays within 4.2 to 6.5 GHz.
  const double fosc = static_cast<double>(d.gps) * d.n2_hs * d.n2_ls;
  EXPECT_GE(fosc, 4.2e9 * (1 - 1e-3));
  EXPECT_LE(fosc, 6.5e9 * (1 + 1e-9));
  // A is what the divider set gives, up to the rounding of the two ways of computing it.
  EXPECT_NEAR(r.achievedHz, numbers::displayedOutputHz(d), r.achievedHz * 1e-14);
  if (r.outcome == PlanOutcome::Closest) {
    EXPECT_NE(r.achievedHz, f);
    EXPECT_EQ(r.offsetHz, offsetHzOf(r.achievedHz, f));
    EXPECT_EQ(r.offsetPpb, offsetPpbOf(r.achievedHz, f));
  } else {
    EXPECT_EQ(r.achievedHz, f);
    EXPECT_EQ(r.offsetHz, 0.0);
    EXPECT_EQ(r.offsetPpb, 0.0);
  }
}

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

inline const char* endName(detail::WalkEnd e) {
  switch (e) {
    case detail::WalkEnd::Exact: return "exact";
    case detail::WalkEnd::Closest: return "closest";
    case detail::WalkEnd::Cancelled: return "cancelled";
  }
  return "?";
}

inline std::string describe(const detail::WalkResult& r) {
  const DividerSet& d = r.dividers;
  char text[256];
  std::snprintf(text, sizeof text, "%s A=%a (%.17g) err=%a gps=%d n2_hs=%d n2_ls=%d n1_hs=%d nc1_ls=%d",
                endName(r.end), r.achievedHz, r.achievedHz, r.bestError, d.gps, d.n2_hs, d.n2_ls,
                d.n1_hs, d.nc1_ls);
  return text;
}

// Field for field, doubles bit for bit.
inline bool sameWalk(const detail::WalkResult& a, const detail::WalkResult& b) {
  return a.end == b.end && a.dividers == b.dividers && bits(a.achievedHz) == bits(b.achievedHz) &&
         bits(a.bestError) == bits(b.bestError);
}

// One comparison: a request, optionally restricted to a slice of the walk.
struct EquivalenceCase {
  double f;
  detail::WalkWindow window;
  const char* kind;
};

inline std::string describe(const EquivalenceCase& c) {
  char text[200];
  if (c.window.n1High == 11 && c.window.n1Low == 4 && c.window.cLow == 0) {
    std::snprintf(text, sizeof text, "%s request %.17g (%a), whole walk", c.kind, c.f, c.f);
  } else {
    std::snprintf(text, sizeof text, "%s request %.17g (%a), N1 %d..%d, c %lld..%lld", c.kind, c.f,
                  c.f, c.window.n1Low, c.window.n1High, static_cast<long long>(c.window.cLow),
                  static_cast<long long>(c.window.cHigh));
  }
  return text;
}

struct EquivalenceReport {
  std::size_t compared = 0;
  std::size_t exact = 0;
  std::size_t closest = 0;
  std::vector<std::string> mismatches;
};

// Runs the planner and the reference walk on every case, on two threads.
inline EquivalenceReport compareWithReference(const std::vector<EquivalenceCase>& cases) {
  EquivalenceReport report;
  std::mutex lock;
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i = next++; i < cases.size(); i = next++) {
      const EquivalenceCase& c = cases[i];
      const auto excluded = defaultExcludedReferences();
      const detail::WalkResult fast = detail::fastWalk(c.f, excluded, c.window, nullptr, nullptr);
      const detail::WalkResult slow = reference::literalWalk(c.f, excluded, c.window);
      const std::lock_guard<std::mutex> guard(lock);
      ++report.compared;
      if (slow.end == detail::WalkEnd::Exact) ++report.exact;
      if (slow.end == detail::WalkEnd::Closest) ++report.closest;
      if (!sameWalk(fast, slow)) {
        report.mismatches.push_back(describe(c) + "\n  planner: " + describe(fast) +
                                    "\n  walk:    " + describe(slow));
      }
    }
  };
  std::thread other(worker);
  worker();
  other.join();
  return report;
}

inline void expectNoMismatch(const EquivalenceReport& report) {
  const std::size_t shown = std::min<std::size_t>(report.mismatches.size(), 20);
  for (std::size_t i = 0; i < shown; ++i) ADD_FAILURE() << report.mismatches[i];
  EXPECT_EQ(report.mismatches.size(), 0u) << "of " << report.compared << " compared";
}

// A random slice of the walk for request f: one N1 whose output-divider range is not empty and
// `width` consecutive output dividers in it (fewer at the range's end).
inline detail::WalkWindow randomSlice(double f, int width, std::mt19937_64& rng) {
  std::vector<int> usable;
  for (int n1 = 4; n1 <= 11; ++n1) {
    const detail::CRange r = detail::outputDividerRange(f, n1);
    if (r.cmin <= r.cmax) usable.push_back(n1);
  }
  detail::WalkWindow w;
  if (usable.empty()) return w;
  const int n1 = usable[rng() % usable.size()];
  const detail::CRange r = detail::outputDividerRange(f, n1);
  const std::int64_t top = r.cmin + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(r.cmax - r.cmin + 1));
  w.n1High = w.n1Low = n1;
  w.cHigh = top;
  w.cLow = top - width + 1;
  return w;
}

// Requests of the kinds that make the search work hardest, around a magnitude x: many decimals
// (no exact candidate), a whole number plus 1e-7 (long runs of candidates that tie in exact
// arithmetic), three decimals, a tenth, and odd whole numbers without small factors.
inline double hardRequest(double x, int kind, std::mt19937_64& rng) {
  const double whole = std::floor(x);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  switch (kind % 5) {
    case 0: return whole + unit(rng);
    case 1: return whole + 1e-7;
    case 2: return whole + std::floor(unit(rng) * 1000) / 1000;
    case 3: return whole + std::floor(unit(rng) * 10) / 10;
    default: {
      auto n = static_cast<std::uint64_t>(whole) | 1u;
      auto hasSmallFactor = [](std::uint64_t v) {
        for (std::uint64_t p = 3; p < 200 && p * p <= v; p += 2) {
          if (v % p == 0) return true;
        }
        return false;
      };
      while (hasSmallFactor(n)) n += 2;
      return static_cast<double>(n);
    }
  }
}

inline double logUniform(double lo, double hi, std::mt19937_64& rng) {
  return std::exp(std::uniform_real_distribution<double>(std::log(lo), std::log(hi))(rng));
}

}  // namespace tamrik::synth::testing

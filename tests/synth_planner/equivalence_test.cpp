// The planner against the exhaustive walk, on requests that make it work hard. This part runs
// with the default tests; equivalence_slow_test.cpp holds the long suite.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/synth_planner/planner_test_support.h"

namespace tamrik::synth::testing {
namespace {

TEST(Equivalence, WholeWalksOfHardRequestsAboveThirtyMegahertz) {
  std::mt19937_64 rng(20240601);
  std::vector<EquivalenceCase> cases;
  for (int i = 0; i < 150; ++i) {
    cases.push_back({hardRequest(logUniform(3e7, kHighestRequestHz, rng), i, rng), {}, "high"});
  }
  // The top of the range, where only N1 = 4 and c = 1 remain.
  for (const double f : {812500000.0, 812499999.99, 812499999.0, 812499998.5, 812400001.25}) {
    cases.push_back({f, {}, "top"});
  }
  const EquivalenceReport report = compareWithReference(cases);
  expectNoMismatch(report);
  EXPECT_GE(report.closest, 60u) << "most of these requests have no exact candidate";
}

TEST(Equivalence, WholeWalksNearTheLowestRequest) {
  // Only the largest output dividers of N1 = 11 reach this low, so the whole walk is short.
  std::vector<EquivalenceCase> cases;
  for (const double f : {kLowestRequestHz, std::nextafter(kLowestRequestHz, 400.0), 364.1302,
                         364.15, 364.2, 364.2000001, 364.21}) {
    cases.push_back({f, {}, "lowest"});
  }
  expectNoMismatch(compareWithReference(cases));
}

TEST(Equivalence, SlicesOfLowFrequencyWalks) {
  // The whole walk below a few hundred kHz takes the reference minutes to hours; slices of it
  // exercise the same search on the same blocks.
  std::mt19937_64 rng(77);
  std::vector<EquivalenceCase> cases;
  for (int i = 0; i < 300; ++i) {
    const double f = hardRequest(logUniform(kLowestRequestHz, 3e5, rng), i, rng);
    cases.push_back({f, randomSlice(f, 2, rng), "slice"});
  }
  expectNoMismatch(compareWithReference(cases));
}

TEST(Equivalence, RequestsWhoseCandidatesTieInExactArithmetic) {
  // Each of these lies a hair off a simple fraction: thousands of blocks hold a candidate with the
  // same exact error, and only the rounding of the computed frequency tells them apart. The
  // slices start at the top of the walk, where the planner's best error is still falling.
  std::vector<EquivalenceCase> cases;
  for (const double f : {1300.0000001, 1000.123456789, 1022.305, 1000.003, 4055.0000001,
                         110081.0000001, 27577.0000001, 53081.0000001}) {
    for (int n1 = 11; n1 >= 4; --n1) {
      const detail::CRange r = detail::outputDividerRange(f, n1);
      if (r.cmin > r.cmax) continue;
      detail::WalkWindow w;
      w.n1High = w.n1Low = n1;
      w.cHigh = r.cmax;
      w.cLow = r.cmax - 5;
      cases.push_back({f, w, "tie"});
      break;
    }
  }
  expectNoMismatch(compareWithReference(cases));
}

}  // namespace
}  // namespace tamrik::synth::testing

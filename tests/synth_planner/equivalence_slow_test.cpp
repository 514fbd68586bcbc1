// The long equivalence suite (CTest label "slow"): the planner against the exhaustive walk on
// more than 2000 hard requests, and on a randomized set whose seed is printed. The reference runs
// on two threads; the suite takes a few minutes.
//
// TAMRIK_PLANNER_SEED=<n> repeats a randomized run; under CI (CI=true) the seed is fixed.

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>
#include <vector>

#include "tests/support/ci.h"
#include "tests/synth_planner/planner_test_support.h"

namespace tamrik::synth::testing {
namespace {

// Whole walks are affordable for the reference from a few MHz up, and in a narrow band above
// the lowest request; below, slices of the walk are compared.
std::vector<EquivalenceCase> hardSuite() {
  std::mt19937_64 rng(5150);
  std::vector<EquivalenceCase> cases;
  // No exact candidate, or one found late: decimals, ties, odd numbers without small factors.
  for (int i = 0; i < 1100; ++i) {
    cases.push_back({hardRequest(logUniform(4e6, kHighestRequestHz, rng), i, rng), {}, "high"});
  }
  // Down to 1 MHz the reference needs about a second per request, at 200 kHz about ten.
  for (int i = 0; i < 60; ++i) {
    cases.push_back({hardRequest(logUniform(1e6, 4e6, rng), i, rng), {}, "mid"});
  }
  for (int i = 0; i < 8; ++i) {
    cases.push_back({hardRequest(logUniform(2e5, 1e6, rng), i, rng), {}, "low"});
  }
  // Near both bounds.
  for (int i = 0; i < 60; ++i) {
    cases.push_back({hardRequest(812.4e6 + i * 1666.67, i, rng), {}, "top"});
  }
  for (int i = 0; i < 40; ++i) {
    const double f = kLowestRequestHz + std::uniform_real_distribution<double>(0.0, 0.1)(rng);
    cases.push_back({i % 2 == 0 ? f : std::floor(f * 1000) / 1000 + 0.001, {}, "lowest"});
  }
  // Below 1 MHz, slices of the walk: hard requests, and whole numbers (mostly exact).
  for (int i = 0; i < 900; ++i) {
    const double f = hardRequest(logUniform(kLowestRequestHz, 1e6, rng), i, rng);
    cases.push_back({f, randomSlice(f, 4, rng), "slice"});
  }
  for (int i = 0; i < 100; ++i) {
    const double f = std::floor(logUniform(365, 1e6, rng));
    cases.push_back({f, randomSlice(f, 4, rng), "whole"});
  }
  return cases;
}

TEST(EquivalenceSlow, MoreThanTwoThousandHardRequests) {
  const std::vector<EquivalenceCase> cases = hardSuite();
  ASSERT_GE(cases.size(), 2000u);
  const EquivalenceReport report = compareWithReference(cases);
  expectNoMismatch(report);
  std::cout << "compared " << report.compared << " requests: " << report.exact << " exact, "
            << report.closest << " closest\n";
  EXPECT_GE(report.closest, 1000u);
}

TEST(EquivalenceSlow, RandomizedRequests) {
  // Under CI every run compares the same requests, so that a failure there can be repeated and
  // a pass means the same as the last one; elsewhere each run tries new ones.
  constexpr std::uint64_t kCiSeed = 20250307;
  std::uint64_t seed = tamrik::testing::runningUnderCi() ? kCiSeed : std::random_device{}();
  if (const char* fixed = std::getenv("TAMRIK_PLANNER_SEED")) seed = std::strtoull(fixed, nullptr, 10);
  std::cout << "randomized planner equivalence, seed " << seed
            << " (repeat with TAMRIK_PLANNER_SEED=" << seed << ")\n";
  RecordProperty("seed", std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::vector<EquivalenceCase> cases;
  for (int i = 0; i < 300; ++i) {
    const int kind = static_cast<int>(rng() % 5);
    if (i % 2 == 0) {
      cases.push_back({hardRequest(logUniform(1e7, kHighestRequestHz, rng), kind, rng), {}, "random"});
    } else {
      const double f = hardRequest(logUniform(kLowestRequestHz, 1e7, rng), kind, rng);
      cases.push_back({f, randomSlice(f, 3, rng), "random slice"});
    }
  }
  const EquivalenceReport report = compareWithReference(cases);
  expectNoMismatch(report);
  if (!report.mismatches.empty()) ADD_FAILURE() << "seed " << seed;
}

}  // namespace
}  // namespace tamrik::synth::testing

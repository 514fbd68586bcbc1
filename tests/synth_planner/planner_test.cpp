#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "numbers/number_format.h"
#include "synth/planner/divider_plan.h"
#include "tests/synth_planner/literal_walk.h"
#include "tests/synth_planner/planner_test_support.h"

namespace tamrik::synth {
namespace {

using testing::expectSearchInvariants;

PlanResult plan(double f) { return SearchDividers(f, defaultExcludedReferences()); }

TEST(PlannerExamples, ExactRequestsGetTheirKnownDividerSets) {
  struct Case {
    double f;
    DividerSet expected;
  };
  const Case cases[] = {
      {12345678, {131337, 1, 11, 4324, 11, 46, 46, 9}},
      {1000000, {184375, 1, 11, 3200, 11, 590, 590, 9}},
      {1234, {115379, 1, 8, 7042, 11, 478856, 478856, 9}},
  };
  for (const Case& c : cases) {
    const PlanResult r = plan(c.f);
    EXPECT_EQ(r.outcome, PlanOutcome::Exact) << c.f;
    EXPECT_EQ(r.dividers, c.expected) << c.f;
    expectSearchInvariants(c.f, r);
  }
}

TEST(PlannerExamples, UnreachableRequestIsOfferedTheClosestFrequency) {
  const PlanResult r = plan(777777777);
  EXPECT_EQ(r.outcome, PlanOutcome::Closest);
  EXPECT_EQ(r.dividers, (DividerSet{112701, 1, 5, 11042, 4, 2, 2, 9}));
  EXPECT_EQ(r.achievedHz, 777777776.25);
  EXPECT_EQ(r.offsetHz, -0.75);
  EXPECT_EQ(r.offsetPpb, 0.964);
  expectSearchInvariants(777777777, r);

  const ClosestOffer offer = closestOfferFor("777777777", r, '.');
  EXPECT_EQ(offer.title, "Cannot set exact frequency");
  EXPECT_EQ(offer.text,
            "777777777 Hz is not available\r\n\r\n"
            "777777776.25 Hz is closest, off by -0.75 Hz (0.964ppb)\r\n\r\n"
            "Set output to 777777776.25 Hz?");
  // The request is quoted as typed; the numbers use the user's decimal separator.
  EXPECT_EQ(closestOfferFor("777 777 777,0", r, ',').text,
            "777 777 777,0 Hz is not available\r\n\r\n"
            "777777776,25 Hz is closest, off by -0,75 Hz (0,964ppb)\r\n\r\n"
            "Set output to 777777776,25 Hz?");
}

TEST(PlannerPresets, PresetRequestsTakeTheirFixedSetsWithoutSearching) {
  class Counting : public SearchObserver {
   public:
    bool progress(double) override {
      ++calls;
      return true;
    }
    int calls = 0;
  } observer;
  for (const testing::FixedSet& p : testing::kFixedSets) {
    SCOPED_TRACE(numbers::formatGeneral(p.requestHz));
    const DividerSet& d = p.dividers;
    // Each set gives its request exactly: GPS * N2_HS * N2_LS = F * N1_HS * NC1_LS in integers.
    EXPECT_EQ(std::int64_t{d.gps} * d.n2_hs * d.n2_ls,
              static_cast<std::int64_t>(p.requestHz) * d.n1_hs * d.nc1_ls);
    const PlanResult r = SearchDividers(p.requestHz, defaultExcludedReferences(), &observer);
    EXPECT_EQ(r.outcome, PlanOutcome::Preset);
    EXPECT_EQ(r.dividers, d);
    EXPECT_EQ(r.achievedHz, p.requestHz);
    EXPECT_EQ(r.offsetHz, 0.0);
    EXPECT_EQ(r.offsetPpb, 0.0);
  }
  EXPECT_EQ(observer.calls, 0) << "a preset shows no progress";
  EXPECT_EQ(presets().size(), 5u);
  // Only exact equality selects a preset.
  EXPECT_NE(plan(std::nextafter(10000000.0, 0.0)).outcome, PlanOutcome::Preset);
}

TEST(PlannerRange, RequestsOutsideTheReachableRangeAreRefused) {
  EXPECT_EQ(plan(364).outcome, PlanOutcome::TooLow);
  EXPECT_EQ(plan(0).outcome, PlanOutcome::TooLow);
  EXPECT_EQ(plan(-1e6).outcome, PlanOutcome::TooLow);
  EXPECT_EQ(plan(std::nextafter(kLowestRequestHz, 0.0)).outcome, PlanOutcome::TooLow);
  EXPECT_EQ(plan(812500001).outcome, PlanOutcome::TooHigh);
  EXPECT_EQ(plan(std::nextafter(kHighestRequestHz, 1e18)).outcome, PlanOutcome::TooHigh);
  EXPECT_EQ(plan(std::numeric_limits<double>::quiet_NaN()).outcome, PlanOutcome::TooLow);
  EXPECT_EQ(plan(-std::numeric_limits<double>::infinity()).outcome, PlanOutcome::TooLow);
  EXPECT_EQ(plan(std::numeric_limits<double>::infinity()).outcome, PlanOutcome::TooHigh);
  const PlanResult refused = plan(364);
  EXPECT_EQ(refused.dividers, (DividerSet{}));

  // Both bounds, and requests just inside them, are searched.
  for (const double f : {kLowestRequestHz, 364.2, 812500000.0, 812499999.5}) {
    const PlanResult r = plan(f);
    EXPECT_TRUE(r.outcome == PlanOutcome::Exact || r.outcome == PlanOutcome::Closest) << f;
    expectSearchInvariants(f, r);
  }
  EXPECT_EQ(kLowestRequestHz, 2100000000.0 / 11 / 524288);
  EXPECT_EQ(kHighestRequestHz, 812500000.0);
}

TEST(PlannerRange, RefusalTextsNameTheBounds) {
  const Refusal low = refusalFor(PlanOutcome::TooLow, '.');
  EXPECT_EQ(low.title, "Frequency too low");
  EXPECT_EQ(low.text, "Lowest available frequency is 365 Hz");
  const Refusal high = refusalFor(PlanOutcome::TooHigh, '.');
  EXPECT_EQ(high.title, "Frequency too high");
  EXPECT_EQ(high.text, "Highest available frequency is 812.5 MHz");
  EXPECT_EQ(refusalFor(PlanOutcome::TooHigh, ',').text, "Highest available frequency is 812,5 MHz");
  EXPECT_EQ(refusalFor(PlanOutcome::TooLow, ',').text, "Lowest available frequency is 365 Hz");
  EXPECT_TRUE(refusalFor(PlanOutcome::Exact, '.').title.empty());
}

TEST(PlannerOffsets, OffsetsRoundDownToTheirLastKeptDigit) {
  EXPECT_EQ(offsetHzOf(777777776.25, 777777777), -0.75);
  EXPECT_EQ(offsetPpbOf(777777776.25, 777777777), 0.964);
  // D rounds toward minus infinity, so a tiny shortfall shows as -0.0001 and a tiny excess as 0.
  const double tiny = 0x1p-20;  // 9.5367431640625e-7 Hz, 0.95367431640625 ppb of 1000 Hz
  EXPECT_EQ(offsetHzOf(1000.0 - tiny, 1000.0), -0.0001);
  EXPECT_EQ(offsetHzOf(1000.0 + tiny, 1000.0), 0.0);
  EXPECT_EQ(offsetPpbOf(1000.0 + tiny, 1000.0), 0.953);
  EXPECT_EQ(offsetPpbOf(1000.0 - tiny, 1000.0), 0.953);
  EXPECT_EQ(offsetPpbOf(1000.0, 1000.0), 0.0);
}

// Records what the search reports and cancels at a chosen call.
class Recorder : public SearchObserver {
 public:
  explicit Recorder(int cancelAtCall = -1) : cancelAt_(cancelAtCall) {}
  bool progress(double fraction) override {
    fractions.push_back(fraction);
    return static_cast<int>(fractions.size()) != cancelAt_;
  }
  std::vector<double> fractions;

 private:
  int cancelAt_;
};

TEST(PlannerObserver, ProgressStaysWithinZeroToOneAndNeverDecreases) {
  for (const double f : {1300.0000001, 1000.123456789, 200003.0, 12345678.0}) {
    Recorder observer;
    const PlanResult r = SearchDividers(f, defaultExcludedReferences(), &observer);
    EXPECT_NE(r.outcome, PlanOutcome::Cancelled);
    ASSERT_FALSE(observer.fractions.empty()) << f;
    EXPECT_EQ(observer.fractions.front(), 0.0);
    for (std::size_t i = 0; i < observer.fractions.size(); ++i) {
      EXPECT_GE(observer.fractions[i], 0.0);
      EXPECT_LE(observer.fractions[i], 1.0);
      if (i > 0) {
        EXPECT_GE(observer.fractions[i], observer.fractions[i - 1]);
      }
    }
    // Observing does not change the answer.
    EXPECT_EQ(r.dividers, plan(f).dividers);
  }
}

TEST(PlannerObserver, CancelEndsTheSearchWithNothingToProgram) {
  Recorder observer(1);
  const PlanResult r = SearchDividers(1300.0000001, defaultExcludedReferences(), &observer);
  EXPECT_EQ(r.outcome, PlanOutcome::Cancelled);
  EXPECT_EQ(r.dividers, (DividerSet{}));
  EXPECT_EQ(observer.fractions.size(), 1u);
  EXPECT_EQ(refusalFor(PlanOutcome::Cancelled, '.').text, "");

  // The reference walk takes a cancel at its next output divider as well.
  Recorder walkObserver(3);
  const auto walk = reference::literalWalk(5000011, defaultExcludedReferences(), {}, &walkObserver);
  EXPECT_EQ(walk.end, detail::WalkEnd::Cancelled);
  EXPECT_EQ(walkObserver.fractions.size(), 3u);
}

TEST(PlannerExcluded, TheExcludedTableIsTheFortyThreeReferences) {
  const auto excluded = defaultExcludedReferences();
  const std::vector<std::int32_t> expected = {
      2000000, 1500000, 1200000, 1000000, 750000, 600000, 500000, 400000, 375000, 300000, 250000,
      240000,  200000,  187500,  150000,  125000, 120000, 100000, 93750,  80000,  75000,  62500,
      60000,   50000,   48000,   46875,   40000,  37500,  32000,  31250,  30000,  25600,  25000,
      24000,   20000,   1600000, 800000,  640000, 480000, 320000, 160000, 1920000, 960000};
  EXPECT_EQ(std::vector<std::int32_t>(excluded.begin(), excluded.end()), expected);
  for (const std::int32_t e : excluded) EXPECT_EQ(48000000 % e, 0) << e;
}

TEST(PlannerExcluded, TheSearchHonoursTheExcludedListItIsGiven) {
  // Excluding the reference of the known answer moves the search to another set, the one the
  // walk finds with that list.
  const std::vector<std::int32_t> excluded = {131337};
  const PlanResult r = SearchDividers(12345678, excluded);
  EXPECT_NE(r.dividers.gps, 131337);
  EXPECT_EQ(r.outcome, PlanOutcome::Exact);
  const auto walk = reference::literalWalk(12345678, excluded);
  EXPECT_EQ(r.dividers, walk.dividers);

  // 20 MHz meets the excluded 200000 Hz as its very first candidate; the walk accepts it as a
  // 1 Hz stand-in and the next real candidate replaces it.
  const auto twenty = reference::literalWalk(20000000, defaultExcludedReferences());
  EXPECT_NE(twenty.dividers.gps, 1);
  const PlanResult planned = plan(20000000);
  EXPECT_EQ(planned.dividers, twenty.dividers);
  expectSearchInvariants(20000000, planned);
}

TEST(PlannerExcluded, BlocksWithFewUsableReferencesAreWalkedCandidateByCandidate) {
  // With only a narrow band of references left, the integers next to a block's target rarely
  // have a usable factorization, and the planner walks such blocks one candidate at a time.
  std::vector<std::int32_t> excluded;
  for (std::int32_t ref = 15000; ref <= 250000; ++ref) {
    if (ref < 100000 || ref > 100300) excluded.push_back(ref);
  }
  SearchStats stats;
  for (const double f : {812500000.0, 777777777.0, 500000000.5}) {
    const auto fast = detail::fastWalk(f, excluded, {}, nullptr, &stats);
    const auto walk = reference::literalWalk(f, excluded);
    EXPECT_TRUE(testing::sameWalk(fast, walk)) << f << "\n" << testing::describe(fast) << "\n"
                                               << testing::describe(walk);
    EXPECT_GE(fast.dividers.gps, 100000);
    EXPECT_LE(fast.dividers.gps, 100300);
  }
  EXPECT_GE(stats.fallbackBlocks, 1u);
}

TEST(PlannerExcluded, AWalkWithoutAnyUsableReferenceKeepsTheOneHertzStandIn) {
  // Every reference the top of the range can use is excluded or a multiple of 48: the walk
  // accepts only 1 Hz stand-ins, and the planner's literal fallback must end the same way.
  std::vector<std::int32_t> excluded;
  for (std::int32_t ref = 15000; ref <= 250000; ++ref) {
    if (ref % 48 != 0) excluded.push_back(ref);
  }
  const double f = 812500000;
  SearchStats stats;
  const auto fast = detail::fastWalk(f, excluded, {}, nullptr, &stats);
  const auto walk = reference::literalWalk(f, excluded);
  EXPECT_EQ(walk.dividers.gps, 1);
  EXPECT_TRUE(testing::sameWalk(fast, walk)) << testing::describe(fast) << "\n" << testing::describe(walk);
  EXPECT_GE(stats.fallbackBlocks, 1u);
}

}  // namespace
}  // namespace tamrik::synth

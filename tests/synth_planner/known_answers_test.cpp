// Known answers of the search, generated once from the exhaustive walk (known_answer_gen) and kept
// as data: the planner must keep giving exactly these. Presets, refusals and several offsets are
// also checked against values worked out without the planner.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "numbers/number_format.h"
#include "synth/planner/divider_plan.h"
#include "tests/synth_planner/planner_test_support.h"

namespace tamrik::synth {
namespace {

struct KnownAnswer {
  const char* text;
  double request;
  PlanOutcome outcome;
  DividerSet dividers;
  double achievedHz;
  double offsetHz;
  double offsetPpb;
};

const KnownAnswer kKnownAnswers[] = {
#include "tests/synth_planner/known_answers.inc"
};

// The search's divider sets and achieved frequencies in the table come from the exhaustive walk;
// its presets, refusals and offsets were written by the planner under test, so those rows are
// also held against values that do not come from it.
TEST(KnownAnswers, ThePlannerGivesEveryRecordedAnswerBitForBit) {
  std::set<PlanOutcome> outcomes;
  for (const KnownAnswer& k : kKnownAnswers) {
    SCOPED_TRACE(k.text);
    const PlanResult r = SearchDividers(k.request, defaultExcludedReferences());
    outcomes.insert(r.outcome);
    EXPECT_EQ(r.outcome, k.outcome);
    EXPECT_EQ(r.dividers, k.dividers);
    EXPECT_EQ(testing::bits(r.achievedHz), testing::bits(k.achievedHz));
    EXPECT_EQ(testing::bits(r.offsetHz), testing::bits(k.offsetHz));
    EXPECT_EQ(testing::bits(r.offsetPpb), testing::bits(k.offsetPpb));
    if (k.outcome == PlanOutcome::Exact || k.outcome == PlanOutcome::Closest) {
      testing::expectSearchInvariants(k.request, r);
    }
    // Refused exactly below 2.1 GHz / 11 / 524288 and above 3.25 GHz / 4.
    EXPECT_EQ(k.outcome == PlanOutcome::TooLow, k.request < 2100000000.0 / 11 / 524288);
    EXPECT_EQ(k.outcome == PlanOutcome::TooHigh, k.request > 812500000);
    for (const testing::FixedSet& f : testing::kFixedSets) {
      if (f.requestHz == k.request) {
        EXPECT_EQ(k.outcome, PlanOutcome::Preset);
        EXPECT_EQ(k.dividers, f.dividers);
      }
    }
  }
  // The table covers every ending that returns data.
  for (const PlanOutcome o : {PlanOutcome::Preset, PlanOutcome::Exact, PlanOutcome::Closest,
                              PlanOutcome::TooLow, PlanOutcome::TooHigh}) {
    EXPECT_TRUE(outcomes.count(o) == 1) << static_cast<int>(o);
  }
}

// Offers for requests without an exact candidate, worked out in exact rational arithmetic from
// the divider set the walk found: A to the 15 digits the offer shows, D = floor(10000 (A - F)) /
// 10000 and P = floor(10^12 |A - F| / F) / 1000. None lies near a rounding step.
TEST(KnownAnswers, ClosestOffersAgreeWithExactArithmetic) {
  struct Offer {
    double request;
    const char* achieved;
    double offsetHz, offsetPpb;
  };
  const Offer offers[] = {
      {777777777, "777777776.25", -0.75, 0.964},
      {26999999.99, "26999999.9903846", 0.0003, 0.014},
      {5000011, "5000010.99842767", -0.0016, 0.314},
      {433494437, "433494437.142857", 0.1428, 0.329},
      {123456789.123, "123456789.111111", -0.0119, 0.096},
      {1000000.5, "1000000.50015389", 0.0001, 0.153},
      {33333333.33, "33333333.328125", -0.0019, 0.056},
  };
  for (const Offer& o : offers) {
    SCOPED_TRACE(numbers::formatGeneral(o.request));
    const PlanResult r = SearchDividers(o.request, defaultExcludedReferences());
    EXPECT_EQ(r.outcome, PlanOutcome::Closest);
    EXPECT_EQ(numbers::formatGeneral(r.achievedHz), o.achieved);
    EXPECT_EQ(r.offsetHz, o.offsetHz);
    EXPECT_EQ(r.offsetPpb, o.offsetPpb);
  }
}

}  // namespace
}  // namespace tamrik::synth

// Known answers of the search, generated once from the exhaustive walk (known_answer_gen) and kept
// as data: the planner must keep giving exactly these.

#include <gtest/gtest.h>

#include <set>
#include <string>

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
    if (k.outcome == PlanOutcome::Preset) {
      EXPECT_EQ(presetFor(k.request), k.dividers);
    }
  }
  // The table covers every ending that returns data.
  for (const PlanOutcome o : {PlanOutcome::Preset, PlanOutcome::Exact, PlanOutcome::Closest,
                              PlanOutcome::TooLow, PlanOutcome::TooHigh}) {
    EXPECT_TRUE(outcomes.count(o) == 1) << static_cast<int>(o);
  }
}

TEST(KnownAnswers, TheTableSpansTheRangeWithBothEndings) {
  int searched = 0;
  int closest = 0;
  int below10k = 0;
  int above100M = 0;
  for (const KnownAnswer& k : kKnownAnswers) {
    if (k.outcome != PlanOutcome::Exact && k.outcome != PlanOutcome::Closest) continue;
    ++searched;
    if (k.outcome == PlanOutcome::Closest) ++closest;
    if (k.request < 10000) ++below10k;
    if (k.request > 1e8) ++above100M;
  }
  EXPECT_GE(searched, 100);
  EXPECT_GE(closest, 20);
  EXPECT_GE(below10k, 10);
  EXPECT_GE(above100M, 20);
}

}  // namespace
}  // namespace tamrik::synth

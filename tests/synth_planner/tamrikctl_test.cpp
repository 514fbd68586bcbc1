#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/tamrikctl/program.h"
#include "tests/support/ctl_run.h"

namespace tamrik::ctl {
namespace {

using tamrik::testing::CtlRun;
using tamrik::testing::runCtl;

TEST(TamrikctlParse, AcceptsNumbersInTheCLocale) {
  struct Case {
    std::string_view text;
    double hz;
  };
  for (const Case& c : {Case{"12345678", 12345678}, Case{"777777777.25", 777777777.25},
                        Case{"  1000.5\t", 1000.5}, Case{"+440", 440}, Case{"-5", -5},
                        Case{"1e6", 1e6}, Case{"2.5E+8", 2.5e8}, Case{".5", 0.5},
                        Case{"10000000.0", 10000000}, Case{"1e-400", 0.0}}) {
    const base::Result<double> p = parseNumber(c.text);
    ASSERT_TRUE(p) << c.text << ": " << p.failure().reason;
    EXPECT_EQ(*p, c.hz) << c.text;
  }
  EXPECT_GT(parseNumber("1e999").value(), 1e300);
  // Beyond a double without an exponent: the digits alone say whether it is too large or too small.
  const std::string tiny = "0." + std::string(400, '0') + "1", huge = "1" + std::string(400, '0');
  EXPECT_EQ(parseNumber(tiny).value(), 0.0);
  EXPECT_EQ(parseNumber(huge).value(), HUGE_VAL);
  EXPECT_EQ(parseNumber("-" + huge).value(), -HUGE_VAL);
}

TEST(TamrikctlParse, RefusesAnythingElseWithAReason) {
  for (const std::string_view text :
       {"", "   ", "abc", "12a", "1,000", "1000,5", "inf", "nan", "-inf", "0x10", "1e",
        "12 34", "++5", "+-5", "- 5", ".", "1.2.3", "5Hz"}) {
    const base::Result<double> p = parseNumber(text);
    ASSERT_FALSE(p) << "'" << text << "' was read as " << *p;
    EXPECT_EQ(p.failure().kind, base::FailureKind::BadArgument) << text;
    EXPECT_FALSE(p.failure().reason.empty()) << text;
  }
  EXPECT_EQ(parseNumber("").failure().reason, "the text is empty");
  EXPECT_EQ(parseNumber("12a").failure().reason, "unexpected 'a' after the number");
}

TEST(TamrikctlPlan, PrintsTheDividerSetAsKeyValueLines) {
  const CtlRun exact = runCtl({"plan", "12345678"});
  EXPECT_EQ(exact.status, kExitOk);
  EXPECT_EQ(exact.err, "");
  EXPECT_EQ(exact.out,
            "exact=1\ngps=131337\nn31=1\nn2_hs=11\nn2_ls=4324\nn1_hs=11\nnc1_ls=46\nnc2_ls=46\n"
            "bw=9\nachieved_hz=12345678\noffset_hz=0\noffset_ppb=0\n");

  const CtlRun closest = runCtl({"plan", "777777777"});
  EXPECT_EQ(closest.status, kExitOk);
  EXPECT_EQ(closest.out,
            "exact=0\ngps=112701\nn31=1\nn2_hs=5\nn2_ls=11042\nn1_hs=4\nnc1_ls=2\nnc2_ls=2\n"
            "bw=9\nachieved_hz=777777776.25\noffset_hz=-0.75\noffset_ppb=0.964\n");

  // A preset is an exact answer too.
  EXPECT_EQ(runCtl({"plan", "10000000"}).out.substr(0, 20), "exact=1\ngps=97600\nn3");
}

TEST(TamrikctlPlan, JsonHasTheSameKeysAndValues) {
  for (const auto& args : {std::vector<std::string_view>{"plan", "--json", "777777777"},
                          std::vector<std::string_view>{"plan", "777777777", "--json"}}) {
    const CtlRun r = runCtl(args);
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out,
              "{\"exact\":0,\"gps\":112701,\"n31\":1,\"n2_hs\":5,\"n2_ls\":11042,\"n1_hs\":4,"
              "\"nc1_ls\":2,\"nc2_ls\":2,\"bw\":9,\"achieved_hz\":777777776.25,"
              "\"offset_hz\":-0.75,\"offset_ppb\":0.964}\n");
  }
}

TEST(TamrikctlPlan, RefusedAndUnreadableRequestsExitWithStatusTwo) {
  const CtlRun low = runCtl({"plan", "364"});
  EXPECT_EQ(low.status, kExitNotPlanned);
  EXPECT_EQ(low.out, "");
  EXPECT_EQ(low.err, "Frequency too low: Lowest available frequency is 365 Hz\n");

  const CtlRun high = runCtl({"plan", "812500001"});
  EXPECT_EQ(high.status, kExitNotPlanned);
  EXPECT_EQ(high.err, "Frequency too high: Highest available frequency is 812.5 MHz\n");

  EXPECT_EQ(runCtl({"plan", "-5"}).status, kExitNotPlanned);
  EXPECT_EQ(runCtl({"plan", "--", "-1e3"}).status, kExitNotPlanned);

  const CtlRun letters = runCtl({"plan", "12a"});
  EXPECT_EQ(letters.status, kExitNotPlanned);
  EXPECT_EQ(letters.out, "");
  EXPECT_NE(letters.err.find("'12a' is not a frequency in Hz"), std::string::npos) << letters.err;
  EXPECT_EQ(runCtl({"plan", ""}).status, kExitNotPlanned);
}

TEST(TamrikctlUsage, UsageErrorsAndHelp) {
  EXPECT_EQ(runCtl({}).status, kExitUsage);
  EXPECT_EQ(runCtl({"frobnicate"}).status, kExitUsage);
  EXPECT_EQ(runCtl({"plan"}).status, kExitUsage);
  EXPECT_EQ(runCtl({"plan", "1000", "2000"}).status, kExitUsage);
  EXPECT_EQ(runCtl({"plan", "--xml", "1000"}).status, kExitUsage);

  for (const std::string_view flag : {"--help", "-h", "help"}) {
    const CtlRun help = runCtl({flag});
    EXPECT_EQ(help.status, kExitOk);
    EXPECT_EQ(help.out, usageText());
  }
}

}  // namespace
}  // namespace tamrik::ctl

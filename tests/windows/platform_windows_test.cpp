// The Windows platform services, run under Wine here and on Windows alike. Nothing here sets the
// clock or starts a browser: those steps are recorded.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <set>
#include <vector>

#include "platform/host_kernel.h"
#include "platform/testing/recording_services.h"
#include "platform/windows/hid_layout.h"
#include "platform/windows/windows_hid_backend.h"
#include "platform/windows/windows_locale.h"
#include "platform/windows/windows_shell.h"
#include "platform/windows/windows_sleep.h"
#include "platform/windows/windows_system_clock.h"
#include "platform/windows/windows_text.h"
#include "tests/support/hid_backend_checks.h"

namespace tamrik::platform::windows {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kUnitPath =
    "\\\\?\\HID#VID_16C0&PID_05DF&MI_00#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

bool underWine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

TEST(WindowsHid, OnlyHidInterfacePathsReachHidapi) {
  EXPECT_TRUE(isHidInterfacePath(kUnitPath));
  EXPECT_TRUE(isHidInterfacePath(
      "\\\\?\\hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&0002046d_pid&b012&col01#9&2a&0&0000#"
      "{4D1E55B2-F16F-11CF-88CB-001111000030}"));
  const std::string body = "\\\\?\\HID#VID_16C0&PID_05DF#1#";
  const std::string hidClass = "{4d1e55b2-f16f-11cf-88cb-001111000030}";
  for (const std::string& path :
       {std::string(), std::string("sim:SIM001#1"), std::string("C:\\Windows\\win.ini"), std::string("\\\\.\\COM1"),
        std::string("\\\\.\\pipe\\tamrik"), std::string("/dev/hidraw0"), std::string("\\\\?\\HID#") + hidClass,
        body + "{a5dcbf10-6530-11d2-901f-00c04fb951ed}",  // a USB device, not a HID interface
        std::string("\\\\?\\USB#VID_16C0&PID_05DF#1#") + hidClass, "\\\\?\\HID#..\\..\\C:\\x#" + hidClass,
        "\\\\?\\HID#a/b#" + hidClass, "\\\\?\\HID#a b#" + hidClass, "\\\\?\\HID#a\tb#" + hidClass,
        "\\\\?\\HID#\xc3\xa9#" + hidClass, body + hidClass + "x", "\\\\?\\HID#" + std::string(1100, 'a') + "#" + hidClass}) {
    EXPECT_FALSE(isHidInterfacePath(path)) << path;
  }
}

TEST(WindowsHid, DriverLengthsBecomeTheLayoutTheDescriptorParserGives) {
  // A unit with unnumbered 64-byte reports: the driver counts the ID byte 0 as Linux does.
  const std::uint8_t unnumbered[] = {0, 0, 0};
  EXPECT_EQ(layoutFromCaps({65, 65, 65, unnumbered}), (ReportDescriptorInfo{65, 65, 65, false}));
  // Numbered reports: one capability with an ID is enough; a type without reports has length 0.
  const std::uint8_t numbered[] = {0, 3, 3};
  EXPECT_EQ(layoutFromCaps({9, 0, 33, numbered}), (ReportDescriptorInfo{9, 0, 33, true}));
  EXPECT_EQ(layoutFromCaps({-1, 0, 0, {}}), (ReportDescriptorInfo{0, 0, 0, false}));
}

TEST(WindowsHid, BackendWorksWithoutDevicesAndRefusesBadPathsAndHandles) {
  WindowsHidBackend backend;
  const auto paths = backend.hidInterfacePaths();
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size());
  for (const std::string& path : paths) EXPECT_TRUE(isHidInterfacePath(path)) << path;

  // A file, a device that is no HID interface, and a HID path that names nothing are never opened.
  char self[MAX_PATH] = {};
  ASSERT_GT(::GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
  for (const std::string& path : {std::string(), std::string(self), std::string("\\\\.\\NUL"), std::string("NUL"),
                                 std::string("sim:SIM001#1"), std::string(kUnitPath)}) {
    EXPECT_EQ(backend.open(path, OpenMode::Plain), kInvalidHandle) << path;
    EXPECT_FALSE(queryReportLayout(path)) << path;
  }
  tamrik::testing::expectUnknownHandlesRefused(backend);
}

// Records the clock's steps and answers them with the given Win32 codes.
struct ClockSteps {
  std::uint32_t rightAnswer = ERROR_SUCCESS;
  std::uint32_t setAnswer = ERROR_SUCCESS;
  int rightCalls = 0;
  std::vector<SystemTime> times;
  WindowsSystemClock::Steps steps() {
    return {[this] {
              ++rightCalls;
              return rightAnswer;
            },
            [this](const SystemTime& t) {
              times.push_back(t);
              return setAnswer;
            }};
  }
};

std::vector<ClockOutcome> setTimes(WindowsSystemClock& clock, const SystemTime& t, int count) {
  std::vector<ClockOutcome> outcomes;
  for (int i = 0; i < count; ++i) {
    clock.set(t, i == 0 ? ClockPrompt::Allowed : ClockPrompt::Never, [&](ClockOutcome o) { outcomes.push_back(o); });
  }
  return outcomes;
}

const SystemTime kNoon{2026, 12, 2, 8, 12, 0, 30, 250};

TEST(WindowsClock, TheRightIsEnabledOnceThenEachSettingGoesToWindows) {
  ClockSteps steps;
  WindowsSystemClock clock(steps.steps());
  EXPECT_EQ(setTimes(clock, kNoon, 3), std::vector<ClockOutcome>(3, ClockOutcome::Set));
  EXPECT_EQ(steps.rightCalls, 1);
  EXPECT_EQ(steps.times, std::vector<SystemTime>(3, kNoon));

  // Out of SetSystemTime's range, or no calendar time at all: nothing is tried.
  SystemTime early = kNoon;
  early.year = 1600;
  SystemTime nonsense = kNoon;
  nonsense.milliseconds = 1000;
  EXPECT_EQ(setTimes(clock, early, 1), std::vector<ClockOutcome>{ClockOutcome::Invalid});
  EXPECT_EQ(setTimes(clock, nonsense, 1), std::vector<ClockOutcome>{ClockOutcome::Invalid});
  EXPECT_EQ(steps.times.size(), 3u);
}

TEST(WindowsClock, AMissingRightIsAnsweredAtOnceFromThenOn) {
  // A user who is no administrator: the token lacks the right, and never gains it.
  ClockSteps steps;
  steps.rightAnswer = ERROR_NOT_ALL_ASSIGNED;
  WindowsSystemClock clock(steps.steps());
  EXPECT_EQ(setTimes(clock, kNoon, 5), std::vector<ClockOutcome>(5, ClockOutcome::NotPermitted));
  EXPECT_EQ(steps.rightCalls, 1);
  EXPECT_TRUE(steps.times.empty());

  // Refused by SetSystemTime itself although enabled: the same.
  ClockSteps refused;
  refused.setAnswer = ERROR_PRIVILEGE_NOT_HELD;
  WindowsSystemClock policy(refused.steps());
  EXPECT_EQ(setTimes(policy, kNoon, 3), std::vector<ClockOutcome>(3, ClockOutcome::NotPermitted));
  EXPECT_EQ(refused.times.size(), 1u);

  // Other failures are no refusal: tried again with the next setting.
  ClockSteps flaky;
  flaky.rightAnswer = ERROR_NOT_ENOUGH_MEMORY;
  WindowsSystemClock again(flaky.steps());
  EXPECT_EQ(setTimes(again, kNoon, 2), std::vector<ClockOutcome>(2, ClockOutcome::Unavailable));
  EXPECT_EQ(flaky.rightCalls, 2);
  flaky.rightAnswer = ERROR_SUCCESS;
  flaky.setAnswer = ERROR_INVALID_PARAMETER;
  EXPECT_EQ(setTimes(again, kNoon, 1), std::vector<ClockOutcome>{ClockOutcome::Invalid});

  // Through the host kernel, without steps: unavailable, and the answer comes exactly once.
  testing::VirtualSleeper sleeper;
  WindowsSystemClock none({});
  WindowsHidBackend devices;
  HostKernel kernel(devices, none, std::ref(sleeper));
  int answers = 0;
  kernel.setSystemTime(kNoon, ClockPrompt::Allowed, [&](ClockOutcome o) {
    ++answers;
    EXPECT_EQ(o, ClockOutcome::Unavailable);
  });
  EXPECT_EQ(answers, 1);
}

TEST(WindowsShellLinks, OnlyHttpsLinksGoToTheShellAsTheyAre) {
  std::vector<std::wstring> opened;
  bool accept = true;
  WindowsShell shell([&](const std::wstring& url) {
    opened.push_back(url);
    return accept;
  });
  EXPECT_TRUE(shell.openUrl("https://www.google.com/maps/search/?api=1&query=-33.8688,151.2093"));
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], L"https://www.google.com/maps/search/?api=1&query=-33.8688,151.2093");
  for (const char* url : {"http://example.com", "file:///C:/Windows/System32/calc.exe", "C:\\Windows\\notepad.exe",
                          "ms-settings:dateandtime", "https://e.com/\" & calc", "https://e.com/%zz", "shell:startup"}) {
    EXPECT_FALSE(shell.openUrl(url)) << url;
  }
  EXPECT_EQ(opened.size(), 1u);
  accept = false;  // no handler for https links
  EXPECT_FALSE(shell.openUrl("https://example.com"));
}

TEST(WindowsNumbers, SeparatorsComeFromTheLocaleAsUtf8) {
  const ui::NumberFormat english = numberFormatFrom(L".", L",");
  EXPECT_EQ(english.decimalSeparator, ".");
  EXPECT_EQ(english.groupSeparator, ",");
  const ui::NumberFormat german = numberFormatFrom(L",", L".");
  EXPECT_EQ(german.decimalSeparator, ",");
  EXPECT_EQ(german.groupSeparator, ".");
  const ui::NumberFormat french = numberFormatFrom(L",", L"\u202f");  // narrow no-break space
  EXPECT_EQ(french.decimalSeparator, ",");
  EXPECT_EQ(french.groupSeparator, "\xe2\x80\xaf");
  EXPECT_EQ(numberFormatFrom(L".", L"'").groupSeparator, "'");
  // What the user may set but no number can be read with.
  EXPECT_EQ(numberFormatFrom(L"", L",").decimalSeparator, ".");
  EXPECT_EQ(numberFormatFrom(L"dec!", L",").decimalSeparator, ".");
  EXPECT_EQ(numberFormatFrom(L",", L",").groupSeparator, "");
  EXPECT_EQ(numberFormatFrom(L".", L"").groupSeparator, "");
}

TEST(WindowsNumbers, TheUsersOwnSymbolsAreRead) {
  if (!underWine()) GTEST_SKIP() << "changes the user's regional settings for a moment: runs under Wine only";
  wchar_t savedDecimal[16] = {};
  wchar_t savedGroup[16] = {};
  ASSERT_GT(::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, savedDecimal, 16), 0);
  ASSERT_GT(::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, savedGroup, 16), 0);
  ASSERT_TRUE(::SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, L","));
  ASSERT_TRUE(::SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, L"'"));
  const ui::NumberFormat format = userNumberFormat();
  ::SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, savedDecimal);
  ::SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, savedGroup);
  EXPECT_EQ(format.decimalSeparator, ",");
  EXPECT_EQ(format.groupSeparator, "'");
}

TEST(WindowsText, Utf16AndUtf8AndErrorTexts) {
  const std::wstring wide = L"Q\u00e9\u20ac\U0001F600";
  const std::string utf8 = "Q\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  EXPECT_EQ(utf8FromWide(wide), utf8);
  EXPECT_EQ(wideFromUtf8(utf8), wide);
  EXPECT_EQ(utf8FromWide(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xef\xbf\xbd");
  EXPECT_EQ(wideFromUtf8("\xff"), L"\ufffd");
  EXPECT_EQ(utf8FromWide(L""), "");

  const std::string denied = systemErrorText(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(denied.empty());
  EXPECT_EQ(denied.find_first_of("\r\n"), std::string::npos) << denied;
  EXPECT_NE(denied.back(), '.');
  EXPECT_EQ(systemErrorText(0x2FFFFFFF), "Windows error 805306367");
}

TEST(WindowsSleep, PausesLastAtLeastWhatWasAskedAndNothingForNone) {
  // Only the lower bound is checked: how much longer a pause takes depends on the machine's load.
  for (const auto pause : {1ms, 2ms, 5ms}) {
    const auto start = std::chrono::steady_clock::now();
    preciseSleep(pause);
    EXPECT_GE(std::chrono::steady_clock::now() - start, pause);
  }
  // Zero and negative pauses return at once, however busy the machine (nothing to wait for).
  preciseSleep(0ms);
  preciseSleep(-5ms);
  windowsSleeper()(1ms);
}

}  // namespace
}  // namespace tamrik::platform::windows

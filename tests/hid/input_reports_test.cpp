#include "platform/hid/input_reports.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cwchar>
#include <deque>

#include "platform/hid/wide_string.h"

namespace tamrik::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// A device queue as hidraw presents it: raw reports, optionally ending in an error.
struct FakeDevice {
  std::deque<Bytes> queued;
  bool failAfterQueue = false;
  std::vector<int> timeouts;  // as passed to each read

  RawReportReader reader() {
    return [this](std::span<std::uint8_t> into, int timeoutMs) {
      timeouts.push_back(timeoutMs);
      if (queued.empty()) return failAfterQueue ? -1 : 0;
      Bytes r = queued.front();
      queued.pop_front();
      const std::size_t n = std::min(r.size(), into.size());
      std::copy_n(r.begin(), n, into.begin());
      return static_cast<int>(n);
    };
  }
};

TEST(InputReports, ReportsAreLaidOutWithTheirIdByteInFixedSlots) {
  Bytes slot(5, 0xEE);
  placeInputReport(Bytes{0x11, 0x22, 0x33, 0x44}, {5, false}, slot);  // unnumbered: ID 0 added
  EXPECT_EQ(slot, (Bytes{0x00, 0x11, 0x22, 0x33, 0x44}));
  placeInputReport(Bytes{0x07, 0xAA}, {5, true}, slot);  // numbered, short: zero-padded
  EXPECT_EQ(slot, (Bytes{0x07, 0xAA, 0, 0, 0}));
  placeInputReport(Bytes{1, 2, 3, 4, 5, 6, 7, 8}, {5, false}, slot);  // too long: cut
  EXPECT_EQ(slot, (Bytes{0, 1, 2, 3, 4}));
}

TEST(InputReports, FirstReadWaitsThenOnlyQueuedWholeReportsThatFitAreTaken) {
  FakeDevice dev;
  dev.queued = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
  Bytes buffer(10, 0xEE), scratch(64);
  // Room for two 4-byte slots: the third report stays queued for the next read.
  const auto r = collectInputReports(dev.reader(), {4, false}, buffer, scratch, 250ms);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 8u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), (Bytes{0, 1, 2, 3, 0, 4, 5, 6}));
  EXPECT_EQ(dev.timeouts, (std::vector<int>{250, 0}));
  EXPECT_EQ(dev.queued.size(), 1u);

  // Nothing queued: one bounded wait, nothing delivered, device still there.
  FakeDevice silent;
  const auto none = collectInputReports(silent.reader(), {4, false}, buffer, scratch, 40ms);
  EXPECT_TRUE(none.ok);
  EXPECT_EQ(none.bytes, 0u);
  EXPECT_EQ(silent.timeouts, (std::vector<int>{40}));
}

TEST(InputReports, ErrorsAndOddTimeoutsAreHandled) {
  Bytes buffer(100), scratch(64);
  FakeDevice gone;
  gone.failAfterQueue = true;
  EXPECT_FALSE(collectInputReports(gone.reader(), {4, false}, buffer, scratch, 10ms).ok);

  // Lost after one report: that report is delivered, the loss shows on the next read.
  FakeDevice leaving;
  leaving.queued = {{9, 9, 9}};
  leaving.failAfterQueue = true;
  const auto r = collectInputReports(leaving.reader(), {4, false}, buffer, scratch, 10ms);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 4u);

  // A negative timeout would block forever in hidapi; a huge one is capped to what it takes.
  FakeDevice d;
  collectInputReports(d.reader(), {4, false}, buffer, scratch, -5ms);
  collectInputReports(d.reader(), {4, false}, buffer, scratch, std::chrono::milliseconds(1LL << 40));
  EXPECT_EQ(d.timeouts, (std::vector<int>{0, INT_MAX}));

  // Unknown report length or a buffer too small for one report: nothing delivered, no wait.
  FakeDevice unknown;
  unknown.queued = {{1, 2}};
  EXPECT_EQ(collectInputReports(unknown.reader(), {0, false}, buffer, scratch, 500ms).bytes, 0u);
  EXPECT_EQ(unknown.timeouts, (std::vector<int>{0}));
  Bytes tiny(3);
  EXPECT_EQ(collectInputReports(unknown.reader(), {4, false}, tiny, scratch, 500ms).bytes, 0u);
}

TEST(InputReports, ASignalDuringTheWaitIsNoLoss) {
  // hidapi's read fails with errno EINTR when a signal (the snapshot request) arrives in its wait.
  Bytes buffer(100), scratch(64);
  std::vector<int> timeouts;
  int interruptions = 2;
  const auto interrupted = signalAwareReader([&](std::span<std::uint8_t> into, int timeoutMs) {
    timeouts.push_back(timeoutMs);
    if (interruptions > 0) {
      --interruptions;
      errno = EINTR;
      return -1;
    }
    if (timeouts.size() > 3) return 0;
    into[0] = 7;
    return 1;
  });
  const auto r = collectInputReports(interrupted, {4, false}, buffer, scratch, 250ms);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 4u);
  EXPECT_EQ(buffer[1], 7);
  ASSERT_EQ(timeouts.size(), 4u);
  EXPECT_LE(timeouts[2], timeouts[1]);  // the wait goes on for what is left of it
  EXPECT_LE(timeouts[1], 250);

  // A storm of signals costs a bounded number of waits, and is no loss either.
  int waits = 0;
  const auto storm = signalAwareReader([&](std::span<std::uint8_t>, int) {
    ++waits;
    errno = EINTR;
    return -1;
  });
  const auto s = collectInputReports(storm, {4, false}, buffer, scratch, 250ms);
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.bytes, 0u);
  EXPECT_EQ(waits, kMaxInterruptedWaits + 1);
  EXPECT_TRUE(collectInputReports(storm, {0, false}, buffer, scratch, 250ms).ok);

  // Any other failure is the device gone, also when errno still holds an earlier EINTR: hidapi
  // leaves errno alone for a device that hung up.
  errno = EINTR;
  const auto hungUp = signalAwareReader([](std::span<std::uint8_t>, int) { return -1; });
  EXPECT_FALSE(collectInputReports(hungUp, {4, false}, buffer, scratch, 10ms).ok);
}

#if WCHAR_MAX > 0xFFFF
// Linux: hidapi's wide strings hold UTF-32.
TEST(WideString, Utf32BecomesUtf16CodeUnitsWithinTheLimit) {
  EXPECT_EQ(utf16FromWide(L"ABC", 50), u"ABC");
  EXPECT_EQ(utf16FromWide(L"\u0141\u00e9", 50), u"\u0141\u00e9");
  EXPECT_EQ(utf16FromWide(L"A\U0001F600B", 50), std::u16string(u"A\xD83D\xDE00" u"B"));
  EXPECT_EQ(utf16FromWide(std::wstring_view(L"AB\0CD", 5), 50), u"AB");
  const wchar_t bad[] = {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-1)};
  EXPECT_EQ(utf16FromWide(std::wstring_view(bad, 3), 50), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(utf16FromWide(L"ABCDEF", 4), u"ABCD");
  EXPECT_EQ(utf16FromWide(L"A\U0001F600", 2), std::u16string(u"A\xD83D"));  // the limit counts code units
  EXPECT_EQ(utf16FromWide(L"ABC", 0), u"");
}
#else
// Windows: hidapi's wide strings hold the UTF-16 code units of the device's string descriptor.
TEST(WideString, Utf16CodeUnitsAreTakenAsTheyAreWithinTheLimit) {
  EXPECT_EQ(utf16FromWide(L"ABC", 50), u"ABC");
  EXPECT_EQ(utf16FromWide(L"\u0141\u00e9", 50), u"\u0141\u00e9");
  EXPECT_EQ(utf16FromWide(L"A\U0001F600B", 50), std::u16string(u"A\xD83D\xDE00" u"B"));
  EXPECT_EQ(utf16FromWide(std::wstring_view(L"AB\0CD", 5), 50), u"AB");
  const wchar_t lone[] = {static_cast<wchar_t>(0xDC00), L'x'};  // as the device sent it
  EXPECT_EQ(utf16FromWide(std::wstring_view(lone, 2), 50), std::u16string(u"\xDC00" u"x"));
  EXPECT_EQ(utf16FromWide(L"ABCDEF", 4), u"ABCD");
  EXPECT_EQ(utf16FromWide(L"A\U0001F600", 2), std::u16string(u"A\xD83D"));  // the limit counts code units
  EXPECT_EQ(utf16FromWide(L"ABC", 0), u"");
}
#endif

}  // namespace
}  // namespace tamrik::platform

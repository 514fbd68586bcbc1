// NTP's shared memory on Windows, under Wine here and on Windows alike: the mapping the bridge
// makes for a unit, opened and read as the Windows port of ntpd opens and reads it.
#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>

#include <chrono>
#include <string>

#include "platform/windows/ntp_shm.h"
#include "tests/support/ntp_shm_reader.h"

namespace tamrik::platform {
namespace {

// The object's name in the object manager's namespace, as NtQueryObject gives it.
std::wstring objectName(HANDLE handle) {
  using Query = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  struct {
    UNICODE_STRING name;
    wchar_t text[512];
  } info{};
  const NTSTATUS status = query ? query(handle, static_cast<OBJECT_INFORMATION_CLASS>(1 /* ObjectNameInformation */), &info,
                                        sizeof info, nullptr)
                                : -1;
  std::wstring name;
  if (status == 0 && info.name.Buffer) name.assign(info.name.Buffer, info.name.Length / sizeof(wchar_t));
  return name;
}

TEST(NtpShmSink, NtpdOpensTheGlobalMappingAndTakesEverySample) {
  const int unit = 200 + static_cast<int>(::GetCurrentProcessId() % 56);
  auto made = NtpShmSink::create(unit);
  ASSERT_TRUE(made) << made.reason();
  NtpShmSink& sink = **made;
  EXPECT_EQ(sink.path(), "NTP shared memory unit " + std::to_string(unit) + " (Global\\NTP" + std::to_string(unit) + ")");

  // ntpd asks for the mapping as it does for its own units from 2 on, and gets the bridge's.
  const std::wstring name = L"Global\\NTP" + std::to_wstring(unit);
  HANDLE ntpd = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(NtpShmTime), name.c_str());
  ASSERT_NE(ntpd, nullptr);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  // In the namespace every session shares, where a service's objects are: not a session's own.
  // Wine names it so too; its programs run in session 1, whose own objects are under
  // \Sessions\1\BaseNamedObjects, and it lets every user make global objects, so the refusal
  // of one without SeCreateGlobalPrivilege is Windows' alone.
  const std::wstring global = objectName(ntpd);
  EXPECT_EQ(global, L"\\BaseNamedObjects\\NTP" + std::to_wstring(unit));
  auto* record = static_cast<NtpShmTime*>(::MapViewOfFile(ntpd, FILE_MAP_WRITE, 0, 0, sizeof(NtpShmTime)));
  ASSERT_NE(record, nullptr);
  EXPECT_FALSE(takeLikeNtpd(*record).taken);

  const auto start = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
  for (int second = 0; second < 3; ++second) {
    const TimeSample sample{start + std::chrono::seconds(second), -0.1045, second == 2 ? Leap::Delete : Leap::None};
    EXPECT_EQ(sink.send(sample).sent, TimeSampleSink::Sent::Delivered);
    const NtpdSample taken = takeLikeNtpd(*record);
    ASSERT_TRUE(taken.taken);
    EXPECT_EQ(taken.record.count, 2 * (second + 1));
    EXPECT_EQ(taken.record.receiveTimeStampSec, 1'700'000'000 + second);
    EXPECT_EQ(taken.record.clockTimeStampSec, 1'700'000'000 + second - 1);
    EXPECT_EQ(taken.record.clockTimeStampNSec, 895'500'000u);
    EXPECT_EQ(taken.record.leap, second == 2 ? kNtpLeapDelete : kNtpLeapNone);
    EXPECT_FALSE(takeLikeNtpd(*record).taken);
  }
  ::UnmapViewOfFile(record);
  ::CloseHandle(ntpd);

  for (int unknown : {-1, 256}) {
    auto refused = NtpShmSink::create(unknown);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.failure().kind, base::FailureKind::BadArgument);
  }
}

}  // namespace
}  // namespace tamrik::platform

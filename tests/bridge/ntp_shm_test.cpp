// NTP's shared memory on Linux: the System V segment of a unit as the bridge makes or finds it,
// read back as ntpd reads it. The units are 200 to 255, one free one per test, and every segment
// a test made is removed at its end.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/linux/ntp_shm.h"
#include "tests/support/ctl_run.h"
#include "tests/support/ntp_shm_reader.h"

namespace tamrik::platform::ntp_shm_checks {

using namespace std::chrono_literals;

key_t keyOf(int unit) { return static_cast<key_t>(NtpShmSink::kKeyBase + unit); }

// A unit no segment uses yet, from the process's own place in 200..255 on, so that test programs
// running side by side keep apart; whatever segment has its key at the end is removed.
class FreeUnit {
 public:
  FreeUnit() {
    for (int i = 0; i < 56; ++i) {
      const int unit = 200 + (static_cast<int>(::getpid()) + i) % 56;
      if (::shmget(keyOf(unit), 0, 0) < 0) {
        unit_ = unit;
        return;
      }
    }
  }
  ~FreeUnit() { remove(); }
  FreeUnit(const FreeUnit&) = delete;
  FreeUnit& operator=(const FreeUnit&) = delete;
  int unit() const { return unit_; }
  key_t key() const { return keyOf(unit_); }
  void remove() const {
    if (unit_ < 0) return;
    if (const int id = ::shmget(key(), 0, 0); id >= 0) ::shmctl(id, IPC_RMID, nullptr);
  }

 private:
  int unit_ = -1;
};

// ntpd's end of a segment: attached as its SHM driver attaches, reading as it reads.
class Ntpd {
 public:
  // Attaches to the segment of `key`, made with ntpd's own size and mode when there is none.
  explicit Ntpd(key_t key) : id_(::shmget(key, sizeof(NtpShmTime), IPC_CREAT | 0666)) {
    if (id_ >= 0) record_ = static_cast<NtpShmTime*>(::shmat(id_, nullptr, 0));
    if (record_ == reinterpret_cast<NtpShmTime*>(-1)) record_ = nullptr;
  }
  ~Ntpd() {
    if (record_) ::shmdt(record_);
  }
  Ntpd(const Ntpd&) = delete;
  Ntpd& operator=(const Ntpd&) = delete;
  bool attached() const { return record_ != nullptr; }
  int id() const { return id_; }
  NtpShmTime& record() { return *record_; }
  NtpdSample take() { return takeLikeNtpd(*record_); }
  shmid_ds status() const {
    shmid_ds s{};
    ::shmctl(id_, IPC_STAT, &s);
    return s;
  }

 private:
  int id_;
  NtpShmTime* record_ = nullptr;
};

TimeSample sampleAt(std::int64_t seconds, Leap leap = Leap::None) {
  return {std::chrono::system_clock::time_point(std::chrono::seconds(seconds) + 123'456us), -0.1045, leap};
}

TEST(NtpShmSink, MakesTheUnitsSegmentForEveryUserAndNtpdTakesEachSample) {
  FreeUnit free;
  ASSERT_GE(free.unit(), 200) << "no free unit from 200 to 255";
  auto made = NtpShmSink::create(free.unit());
  ASSERT_TRUE(made) << made.reason();
  NtpShmSink& sink = **made;
  char key[16];
  std::snprintf(key, sizeof key, "0x%08x", static_cast<unsigned>(free.key()));
  EXPECT_EQ(sink.path(), "NTP shared memory unit " + std::to_string(free.unit()) + " (key " + key + ")");

  Ntpd ntpd(free.key());
  ASSERT_TRUE(ntpd.attached());
  EXPECT_EQ(ntpd.status().shm_segsz, sizeof(NtpShmTime));
  EXPECT_EQ(ntpd.status().shm_perm.mode & 0777, 0666u);
  EXPECT_FALSE(ntpd.take().taken);  // nothing before the first sample

  for (int second = 0; second < 3; ++second) {
    EXPECT_EQ(sink.send(sampleAt(1'700'000'000 + second, second == 2 ? Leap::Insert : Leap::None)).sent,
              TimeSampleSink::Sent::Delivered);
    const NtpdSample s = ntpd.take();
    ASSERT_TRUE(s.taken);
    EXPECT_EQ(s.record.count, 2 * (second + 1));
    EXPECT_EQ(s.record.receiveTimeStampSec, 1'700'000'000 + second);
    EXPECT_EQ(s.record.receiveTimeStampNSec, 123'456'000u);
    EXPECT_EQ(s.record.clockTimeStampSec, 1'700'000'000 + second);
    EXPECT_EQ(s.record.clockTimeStampNSec, 18'956'000u);
    EXPECT_EQ(s.record.leap, second == 2 ? kNtpLeapInsert : kNtpLeapNone);
  }

  // The bridge leaves the segment to ntpd.
  made->reset();
  EXPECT_EQ(::shmget(free.key(), 0, 0), ntpd.id());
  EXPECT_EQ(ntpd.status().shm_nattch, 1u);
}

TEST(NtpShmSink, WritesIntoNtpdsSegmentAndFollowsTheOneARestartedNtpdMakes) {
  FreeUnit free;
  ASSERT_GE(free.unit(), 200);
  auto ntpd = std::make_unique<Ntpd>(free.key());
  ASSERT_TRUE(ntpd->attached());
  ntpd->record().nsamples = 3;
  auto made = NtpShmSink::create(free.unit());
  ASSERT_TRUE(made) << made.reason();
  NtpShmSink& sink = **made;
  EXPECT_EQ(ntpd->status().shm_nattch, 2u);
  EXPECT_EQ(sink.send(sampleAt(1'700'000'000)).sent, TimeSampleSink::Sent::Delivered);
  NtpdSample s = ntpd->take();
  ASSERT_TRUE(s.taken);
  EXPECT_EQ(s.record.nsamples, 3);

  // Removed (ipcrm) while ntpd runs: ntpd, still attached, goes on reading the old one.
  free.remove();
  EXPECT_EQ(sink.send(sampleAt(1'700'000'001)).sent, TimeSampleSink::Sent::Delivered);
  s = ntpd->take();
  ASSERT_TRUE(s.taken);
  EXPECT_EQ(s.record.receiveTimeStampSec, 1'700'000'001);

  // ntpd restarted: its new segment gets the samples.
  ntpd = std::make_unique<Ntpd>(free.key());
  ASSERT_TRUE(ntpd->attached());
  EXPECT_EQ(sink.send(sampleAt(1'700'000'002)).sent, TimeSampleSink::Sent::Delivered);
  s = ntpd->take();
  ASSERT_TRUE(s.taken);
  EXPECT_EQ(s.record.receiveTimeStampSec, 1'700'000'002);
}

TEST(NtpShmSink, RefusesUnitsItMayNotUseInOneLine) {
  for (int unit : {-1, 256}) {
    auto made = NtpShmSink::create(unit);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.failure().kind, base::FailureKind::BadArgument);
    EXPECT_NE(made.reason().find("0 to 255"), std::string::npos) << made.reason();
  }

  // Another program's segment under the key: not ntpd's size.
  FreeUnit free;
  ASSERT_GE(free.unit(), 200);
  ASSERT_GE(::shmget(free.key(), 64, IPC_CREAT | 0666), 0);
  auto made = NtpShmSink::create(free.unit());
  ASSERT_FALSE(made);
  EXPECT_EQ(made.failure().kind, base::FailureKind::BadArgument);
  EXPECT_NE(made.reason().find("64 bytes"), std::string::npos) << made.reason();
  // The receiver command stops there, before it touches a unit, with that line and status 2.
  const std::string unit = std::to_string(free.unit());
  const testing::CtlRun ctl = testing::runCtl({"--simulate=1", "receiver", "--ntp-shm", unit});
  EXPECT_EQ(ctl.status, 2);
  EXPECT_EQ(ctl.err, "tamrikctl receiver: " + made.reason() + "\n");
  EXPECT_EQ(ctl.out, "");
  free.remove();

  // A segment its owner keeps to itself, and root's units 0 and 1, for a user who is not root (root
  // itself becomes nobody to try). The user's answers come back as the child's exit status.
  ASSERT_GE(::shmget(free.key(), sizeof(NtpShmTime), IPC_CREAT | 0400), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
    auto refused = NtpShmSink::create(free.unit());
    auto one = NtpShmSink::create(1);
    const bool privateRefused = !refused && refused.failure().kind == base::FailureKind::BadArgument &&
                                refused.reason().find("Permission denied") != std::string::npos;
    const bool rootsRefused = NtpShmSink::checkUnit(0).find("root") != std::string::npos && !one &&
                              one.failure().kind == base::FailureKind::BadArgument;
    if (!privateRefused) std::fprintf(stderr, "the private segment: %s\n", refused.reason().c_str());
    ::_exit((privateRefused ? 0 : 1) | (rootsRefused ? 0 : 2));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the private segment was not refused, 2: units 0 and 1 were not, 10: no user nobody";
}

}  // namespace tamrik::platform::ntp_shm_checks

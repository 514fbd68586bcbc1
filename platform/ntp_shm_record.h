#pragma once
// NTP's shared-memory reference clock, as ntpd (refclock 28, 127.127.28.N) and ntpsec (`refclock
// shm unit N`) read it: one record per unit, which a writer fills with the time of its clock and
// the host's time of the same instant, and ntpd takes once a second. The segment itself is the
// system's: a System V segment on Linux, a named file mapping on Windows
// (platform/linux/ntp_shm.h, platform/windows/ntp_shm.h).

#include <atomic>
#include <cstdint>
#include <ctime>
#include <optional>

#include "platform/bridge_io.h"

namespace tamrik::platform {

// ntpd's `struct shmTime`, field for field, in this system's C layout: both sides use the
// system's time_t and int. That is 64 bits on 64-bit Linux and on Windows, where ntpd's port is
// built with a 64-bit time_t whether by MinGW-w64 or by MSVC; 32 bits on Debian 12's armhf.
// The record is 96 bytes wherever time_t has 64 bits.
struct NtpShmTime {
  int mode;  // 1: the writer keeps count as the protocol below says
  volatile int count;
  std::time_t clockTimeStampSec;  // the reference clock's time (here, the receiver's)
  int clockTimeStampUSec;
  std::time_t receiveTimeStampSec;  // the host's time at that instant
  int receiveTimeStampUSec;
  int leap;       // NTP's leap indicator: NtpLeap
  int precision;  // log2 of the clock's precision in seconds
  int nsamples;   // ntpd's median filter stages: ntpd's to set, never the writer's
  volatile int valid;
  unsigned clockTimeStampNSec;  // the same times to the nanosecond; the USec fields are these, truncated
  unsigned receiveTimeStampNSec;
  int dummy[8];
};

static_assert(sizeof(std::time_t) != 8 || sizeof(NtpShmTime) == 96, "ntpd's struct shmTime is 96 bytes with a 64-bit time_t");

// NTP's leap indicator codes, as ntpd reads them from the record.
enum NtpLeap : int {
  kNtpLeapNone = 0,
  kNtpLeapInsert = 1,  // the last minute of the UTC day has 61 seconds
  kNtpLeapDelete = 2,  // the last minute of the UTC day has 59 seconds
};

// The precision written with every sample, log2 seconds: 2^-10 s, about a millisecond, the spread of
// the stamps themselves. The host's clock is read to the nanosecond, but the stamp is the moment
// the epoch's first report is seen; on a simulated unit, with the host's poll of the interrupt
// endpoint in a steady phase against the receiver's seconds, the stamps spread by 0.8 ms (standard
// deviation over two minutes). What comes on top, the poll's phase wandering through the unit's
// 8 ms report cadence and a busy scheduler, changes slowly from sample to sample, and ntpd measures
// it as the source's jitter. ntpd counts precision into the source's dispersion; its own default
// for the SHM driver, 2^-30 s, would claim a nanosecond clock.
constexpr int kNtpShmPrecision = -10;

// The record's units are 0 to 255: ntpd's refclock address 127.127.28.N holds the unit in one byte.
constexpr int kNtpShmMaxUnit = 255;

// One sample in the record's terms: the clock time is the receiver's, stamp + offset, the receive
// time the stamp, each to the nanosecond. Empty when either time does not fit this system's time_t
// (a 32-bit time_t ends in January 2038).
struct NtpShmFields {
  std::time_t clockSec = 0;
  unsigned clockNSec = 0;
  std::time_t receiveSec = 0;
  unsigned receiveNSec = 0;
  int leap = kNtpLeapNone;
};
std::optional<NtpShmFields> ntpShmFieldsOf(const TimeSample& sample);

// Keeps the compiler and the processor from moving the record's stores across it, as ntpd's
// reader fences its copy.
inline void ntpShmBarrier() { std::atomic_thread_fence(std::memory_order_seq_cst); }

// Stores the fields by the mode-1 protocol: valid = 0, count + 1, barrier, the fields, barrier,
// count + 1, valid = 1. ntpd skips a record that is not valid and drops a copy during which count
// moved, so it never takes one whose fields were being written. (A template only so that the
// order of the stores can be watched.)
template <class Record>
void storeNtpShmFields(Record& record, const NtpShmFields& f) {
  record.valid = 0;
  record.count = record.count + 1;
  ntpShmBarrier();
  record.mode = 1;
  record.clockTimeStampSec = f.clockSec;
  // ntpd takes the nanoseconds only when the microseconds are their truncation.
  record.clockTimeStampUSec = static_cast<int>(f.clockNSec / 1000);
  record.clockTimeStampNSec = f.clockNSec;
  record.receiveTimeStampSec = f.receiveSec;
  record.receiveTimeStampUSec = static_cast<int>(f.receiveNSec / 1000);
  record.receiveTimeStampNSec = f.receiveNSec;
  record.leap = f.leap;
  record.precision = kNtpShmPrecision;
  ntpShmBarrier();
  record.count = record.count + 1;
  record.valid = 1;
}

// Writes one sample into the record. False, and the record untouched, when its times do not fit.
bool writeNtpShmSample(NtpShmTime& record, const TimeSample& sample);

// A sink's writing end of a record: each sample written, and whether ntpd takes them. ntpd looks
// at the record once a second and clears valid when it takes a sample, so a record still valid
// when the next sample comes was not taken. One such now and then is two samples falling between
// two of ntpd's looks; several in a row are an ntpd that does not read the unit.
class NtpShmWriter {
 public:
  static constexpr int kUntakenLimit = 3;
  // Writes the sample, which then waits for ntpd (Result::waits), and tells whether ntpd took the
  // one written before (Result::earlierTaken). Delivered; NotListening once kUntakenLimit samples
  // in a row were left in the record (the sample is written all the same, for an ntpd that
  // starts); Failed, and nothing written, for a time that does not fit the record.
  TimeSampleSink::Result write(NtpShmTime& record, const TimeSample& sample);
  // The record changed (ntpd made a new one): what waited in the old one is no longer known.
  void forgetWaiting() { waiting_ = false; }

 private:
  int untaken_ = 0;
  bool waiting_ = false;  // a sample of ours is in the record, taken or not
};

}  // namespace tamrik::platform

#pragma once
// ntpd's side of NTP's shared-memory record, as its SHM driver reads it once a second in mode 1:
// nothing unless valid is set; otherwise count, a copy of the record, valid cleared, and the copy
// taken only when count is still what it was.

#include <atomic>

#include "platform/ntp_shm_record.h"

namespace tamrik::platform {

struct NtpdSample {
  bool taken = false;  // valid was set and count held still over the copy
  NtpShmTime record{};
};

inline NtpdSample takeLikeNtpd(NtpShmTime& shared) {
  NtpdSample sample;
  if (shared.valid == 0) return sample;
  const int count = shared.count;
  std::atomic_thread_fence(std::memory_order_seq_cst);
  sample.record = shared;
  shared.valid = 0;
  std::atomic_thread_fence(std::memory_order_seq_cst);
  sample.taken = sample.record.mode != 1 || shared.count == count;
  return sample;
}

}  // namespace tamrik::platform

#include "platform/linux/ntp_shm.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tamrik::platform {

namespace {

std::string keyText(int unit) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(NtpShmSink::kKeyBase + unit));
  return text;
}

// ntpd's own modes for the segments it makes: owner-only for units 0 and 1.
int modeOf(int unit) { return unit < 2 ? 0600 : 0666; }

}  // namespace

NtpShmSink::NtpShmSink(int unit)
    : unit_(unit), path_("NTP shared memory unit " + std::to_string(unit) + " (key " + keyText(unit) + ")") {}

std::string NtpShmSink::checkUnit(int unit) {
  if (unit < 0 || unit > kNtpShmMaxUnit) {
    return "NTP shared memory unit " + std::to_string(unit) + " does not exist: ntpd's units are 0 to " +
           std::to_string(kNtpShmMaxUnit);
  }
  if (unit < 2 && ::geteuid() != 0) {
    return "NTP shared memory unit " + std::to_string(unit) +
           " is root's alone (ntpd keeps units 0 and 1 to root): run as root, or use a unit from 2 to " +
           std::to_string(kNtpShmMaxUnit) + ", which every user may write";
  }
  return {};
}

base::Result<std::unique_ptr<NtpShmSink>> NtpShmSink::create(int unit) {
  if (std::string refusal = checkUnit(unit); !refusal.empty()) return base::fail(base::FailureKind::BadArgument, refusal);
  std::unique_ptr<NtpShmSink> sink(new NtpShmSink(unit));
  if (base::Result<void> attached = sink->attach(); !attached) return attached.failure();
  return sink;
}

NtpShmSink::~NtpShmSink() { detach(); }

base::Result<void> NtpShmSink::attach() {
  const key_t key = static_cast<key_t>(kKeyBase + unit_);
  const auto systemFailure = [this](const std::string& what, int error) {
    std::string reason = what + " " + path_ + ": " + std::strerror(error);
    // A unit kept by its owner is a refused request, as a unit number out of range is.
    if (error == EACCES) {
      reason += " (its owner keeps it to itself, as ntpd does units 0 and 1 and any unit with 'mode 1')";
      return base::fail(base::FailureKind::BadArgument, reason);
    }
    return base::fail(base::FailureKind::System, reason);
  };
  // Made by ntpd or by another bridge meanwhile: attach to that one instead, once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    int id = ::shmget(key, 0, 0);
    if (id < 0 && errno == ENOENT) {
      // A new segment is filled with zeros: valid stays 0 until the first sample.
      id = ::shmget(key, sizeof(NtpShmTime), IPC_CREAT | IPC_EXCL | modeOf(unit_));
      if (id < 0 && errno == EEXIST) continue;
      if (id < 0) return systemFailure("cannot make", errno);
    } else if (id < 0) {
      return systemFailure("cannot open", errno);
    } else {
      shmid_ds status{};
      if (::shmctl(id, IPC_STAT, &status) != 0) return systemFailure("cannot look at", errno);
      if (status.shm_segsz != sizeof(NtpShmTime)) {
        return base::fail(base::FailureKind::BadArgument,
                          "refusing " + path_ + ": it is " + std::to_string(status.shm_segsz) + " bytes, not the " +
                              std::to_string(sizeof(NtpShmTime)) + " of ntpd's record on this system (another program's)");
      }
    }
    void* at = ::shmat(id, nullptr, 0);
    if (at == reinterpret_cast<void*>(-1)) return systemFailure("cannot attach to", errno);
    detach();
    id_ = id;
    record_ = static_cast<NtpShmTime*>(at);
    return {};
  }
  return base::fail(base::FailureKind::System, "cannot make " + path_ + ": it came and went while the bridge made it");
}

void NtpShmSink::detach() {
  if (record_) ::shmdt(record_);
  record_ = nullptr;
  id_ = -1;
}

TimeSampleSink::Result NtpShmSink::send(const TimeSample& sample) {
  // Removed meanwhile: a restarted ntpd makes a new segment under the key, which the samples
  // follow; until then the old one, which a running ntpd may still read, keeps them.
  const int current = ::shmget(static_cast<key_t>(kKeyBase + unit_), 0, 0);
  if (current >= 0 && current != id_) {
    if (base::Result<void> attached = attach(); !attached) return {Sent::Failed, attached.reason()};
    writer_.forgetWaiting();
  }
  return writer_.write(*record_, sample);
}

}  // namespace tamrik::platform

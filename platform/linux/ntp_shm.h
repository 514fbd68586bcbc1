#pragma once
// NTP's shared-memory reference clock on Linux: the System V segment that ntpd's and ntpsec's SHM
// driver reads (`refclock shm unit N`, or `server 127.127.28.N`), one record written per sample.

#include <memory>
#include <string>

#include "base/result.h"
#include "platform/bridge_io.h"
#include "platform/ntp_shm_record.h"

namespace tamrik::platform {

// The segment of unit N has the key 0x4E545030 + N ("NTP0" for unit 0). Units 0 and 1 are root's
// alone (mode 0600), as ntpd makes them; units 2 to 255 are open to every user (0666), as ntpd
// makes them unless its refclock line asks for a private one. Whichever of ntpd and the bridge
// comes first makes the segment, and the other attaches to it; the segment stays when the bridge
// ends, since ntpd may hold it.
class NtpShmSink final : public TimeSampleSink {
 public:
  // The System V key of unit N.
  static constexpr int kKeyBase = 0x4E545030;
  // "" when the unit may be used: 0 to 255, and 0 or 1 only for root. Otherwise the reason, one
  // line. Touches no segment.
  static std::string checkUnit(int unit);
  // Attaches to the unit's segment, made first when there is none: a unit checkUnit refuses, or a
  // segment of another size than ntpd's record (another program's), is a BadArgument; the system's
  // refusal (no permission on a segment another user made private) a System failure.
  static base::Result<std::unique_ptr<NtpShmSink>> create(int unit);

  ~NtpShmSink() override;
  NtpShmSink(const NtpShmSink&) = delete;
  NtpShmSink& operator=(const NtpShmSink&) = delete;

  // Writes the sample into the record; never waits. NotListening while ntpd leaves the samples
  // there (NtpShmWriter). A segment that was removed meanwhile (ipcrm)
  // is left for the unit's new one, which ntpd makes when it restarts.
  Result send(const TimeSample& sample) override;
  // "NTP shared memory unit N (key 0x4e54503N)".
  const std::string& path() const override { return path_; }
  std::string taker() const override { return "ntpd"; }

  int unit() const { return unit_; }

 private:
  explicit NtpShmSink(int unit);
  base::Result<void> attach();
  void detach();

  int unit_;
  std::string path_;
  int id_ = -1;
  NtpShmTime* record_ = nullptr;
  NtpShmWriter writer_;
};

}  // namespace tamrik::platform

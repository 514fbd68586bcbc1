#pragma once
// NTP's shared-memory reference clock on Windows: the named file mapping that the Windows port of
// ntpd reads for `server 127.127.28.N`, one record written per sample. The same class as Linux's
// (platform/linux/ntp_shm.h), so that the receiver command names it alike on both.

#include <memory>
#include <string>

#include "base/result.h"
#include "platform/bridge_io.h"
#include "platform/ntp_shm_record.h"

namespace tamrik::platform {

// Unit N is the file mapping Global\NTP<N>. ntpd runs as a service, in session 0, whose named
// objects are the global ones: it makes units 2 to 255 as Global\NTP<N> open to everyone, and
// units 0 and 1 as Local\NTP<N> with its own account's default rights, which in session 0 is the
// same object. Whichever of ntpd and the bridge comes first makes the mapping, and the other opens
// it; the mapping lasts while either holds it.
//
// Making an object in the global namespace from a user's session takes SeCreateGlobalPrivilege,
// which administrators and services have and other users have not. A bridge without it cannot
// make the mapping, only open the one ntpd made, so it fails at once when ntpd has not made it
// yet (ntpd makes it when it starts with the unit in its configuration), saying so. Falling back
// to the session's own Local\NTP<N> would help nobody: ntpd, in session 0, never sees it.
class NtpShmSink final : public TimeSampleSink {
 public:
  // "" when the unit may be used: 0 to 255, and 0 or 1 only for a member of the Administrators
  // (services running as LocalSystem are). Otherwise the reason, one line. Touches no mapping.
  static std::string checkUnit(int unit);
  // Opens the unit's mapping, made first when there is none: a unit checkUnit refuses is a
  // BadArgument, the system's refusal (no right to make a global object, a mapping ntpd keeps to
  // its own account, one too small for the record) a System failure.
  static base::Result<std::unique_ptr<NtpShmSink>> create(int unit);
  // L"Global\\NTP<N>".
  static std::wstring mappingName(int unit);

  ~NtpShmSink() override;
  NtpShmSink(const NtpShmSink&) = delete;
  NtpShmSink& operator=(const NtpShmSink&) = delete;

  // Writes the sample into the record; never waits. NotListening while ntpd leaves the samples
  // there (NtpShmWriter).
  Result send(const TimeSample& sample) override;
  // "NTP shared memory unit N (Global\NTP<N>)".
  const std::string& path() const override { return path_; }
  std::string taker() const override { return "ntpd"; }

  int unit() const { return unit_; }

 private:
  explicit NtpShmSink(int unit);

  int unit_;
  std::string path_;
  void* mapping_ = nullptr;  // the mapping's HANDLE
  NtpShmTime* record_ = nullptr;
  NtpShmWriter writer_;
};

}  // namespace tamrik::platform

#include "platform/windows/ntp_shm.h"

#include <windows.h>
#include <sddl.h>

#include "platform/windows/windows_text.h"

namespace tamrik::platform {

// ntpd's Windows port, built with MSVC or MinGW-w64, has a 64-bit time_t; a build of ours with
// _USE_32BIT_TIME_T would lay the record out differently.
static_assert(sizeof(std::time_t) == 8 && sizeof(NtpShmTime) == 96, "ntpd's record on Windows has a 64-bit time_t");

namespace {

// Who may open a mapping the bridge makes: the system, the administrators, the account that made
// it (to open it again after a restart), and every service, among them ntpd whichever account it
// runs as (a service's token holds the SERVICE group). Full rights: ntpd opens an existing mapping
// with CreateFileMapping, which asks for the standard rights besides reading and writing.
constexpr const wchar_t* kMappingRights = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)(A;;GA;;;SU)";

std::string systemError(const std::string& what, DWORD error) { return what + ": " + windows::systemErrorText(error); }

bool isAdministrator() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  if (!::CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  ::FreeSid(administrators);
  return member != FALSE;
}

}  // namespace

std::wstring NtpShmSink::mappingName(int unit) { return L"Global\\NTP" + std::to_wstring(unit); }

NtpShmSink::NtpShmSink(int unit)
    : unit_(unit),
      path_("NTP shared memory unit " + std::to_string(unit) + " (" + windows::utf8FromWide(mappingName(unit)) + ")") {}

std::string NtpShmSink::checkUnit(int unit) {
  if (unit < 0 || unit > kNtpShmMaxUnit) {
    return "NTP shared memory unit " + std::to_string(unit) + " does not exist: ntpd's units are 0 to " +
           std::to_string(kNtpShmMaxUnit);
  }
  if (unit < 2 && !isAdministrator()) {
    return "NTP shared memory unit " + std::to_string(unit) +
           " is for administrators and services alone (ntpd keeps units 0 and 1 to its own account): run as "
           "administrator, or use a unit from 2 to " +
           std::to_string(kNtpShmMaxUnit) + ", which ntpd opens to every user";
  }
  return {};
}

base::Result<std::unique_ptr<NtpShmSink>> NtpShmSink::create(int unit) {
  if (std::string refusal = checkUnit(unit); !refusal.empty()) return base::fail(base::FailureKind::BadArgument, refusal);
  std::unique_ptr<NtpShmSink> sink(new NtpShmSink(unit));
  const std::wstring name = mappingName(unit);
  const std::string shown = windows::utf8FromWide(name);
  const auto failed = [](const std::string& reason) { return base::fail(base::FailureKind::System, reason); };

  HANDLE mapping = ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str());
  if (!mapping) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
      return failed(systemError("cannot open " + shown, error) +
                    " (ntpd keeps it to its own account, as it does units 0 and 1)");
    }
    if (error != ERROR_FILE_NOT_FOUND) return failed(systemError("cannot open " + shown, error));
    PSECURITY_DESCRIPTOR rights = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kMappingRights, SDDL_REVISION_1, &rights, nullptr)) {
      return failed(systemError("cannot make the rights of " + shown, ::GetLastError()));
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, rights, FALSE};
    // If ntpd made it meanwhile, this opens ntpd's.
    mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, sizeof(NtpShmTime), name.c_str());
    const DWORD made = ::GetLastError();
    ::LocalFree(rights);
    if (!mapping && made == ERROR_ACCESS_DENIED) {
      return failed("cannot make " + shown +
                    ": only administrators and services may make it (SeCreateGlobalPrivilege); start ntpd with "
                    "the unit in its configuration first, which makes it, or run as administrator");
    }
    if (!mapping) return failed(systemError("cannot make " + shown, made));
  }
  sink->mapping_ = mapping;
  // A mapping smaller than the record (another program's) cannot be mapped whole.
  void* view = ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(NtpShmTime));
  if (!view) {
    return failed(systemError("cannot map " + shown + " (another program's, smaller than ntpd's record?)", ::GetLastError()));
  }
  sink->record_ = static_cast<NtpShmTime*>(view);
  return sink;
}

NtpShmSink::~NtpShmSink() {
  if (record_) ::UnmapViewOfFile(record_);
  if (mapping_) ::CloseHandle(static_cast<HANDLE>(mapping_));
}

TimeSampleSink::Result NtpShmSink::send(const TimeSample& sample) {
  return writer_.write(*record_, sample);
}

}  // namespace tamrik::platform

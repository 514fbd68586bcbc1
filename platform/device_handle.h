#pragma once
#include <cstdint>
#include <string>

namespace tamrik::platform {

// An open device, as the kernel service hands it out. Zero marks "never opened", a negative value
// an open that failed; both may be passed to closeHandle, which then does nothing.
using DeviceHandle = std::int64_t;
inline constexpr DeviceHandle kNoHandle = 0;
inline constexpr DeviceHandle kInvalidHandle = -1;

inline constexpr bool isValidHandle(DeviceHandle h) { return h > 0; }

// Why a device could not be opened, as far as the system tells.
struct OpenFailure {
  enum class Kind {
    None,          // nothing failed
    Absent,        // no such device (any more)
    NotPermitted,  // this user may not open it
    Busy,          // another program holds it exclusively
    Other,
  };
  Kind kind = Kind::None;
  std::string text;     // the system's words ("Permission denied"); may be empty
  std::string holders;  // for a busy device, who holds it where the system tells ("gpsd (process 812)")
};

}  // namespace tamrik::platform

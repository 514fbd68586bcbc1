#pragma once
#include <cstdint>

namespace tamrik::platform {

// An open device, as the kernel service hands it out. Zero marks "never opened", a negative value
// an open that failed; both may be passed to closeHandle, which then does nothing.
using DeviceHandle = std::int64_t;
inline constexpr DeviceHandle kNoHandle = 0;
inline constexpr DeviceHandle kInvalidHandle = -1;

inline constexpr bool isValidHandle(DeviceHandle h) { return h > 0; }

}  // namespace tamrik::platform

#pragma once
#include <cstdint>
#include <string>

#include "platform/device_handle.h"

namespace tamrik::device {

inline constexpr std::uint16_t kTamrikVendorId = 0x1DD2;
inline constexpr std::uint16_t kTamrikProductId = 0x2211;

// Where and how the input reports of the open unit are read.
struct ReadOverlappedRecord {
  std::uint32_t offset = 0;
  std::uint32_t offsetHigh = 0;
  std::int64_t event = 0;
};

// The open unit: its two handles, identity and report lengths. While Connected is false the other
// fields may hold stale values and must not be used.
struct UnitLink {
  bool Connected = false;
  platform::DeviceHandle CommandHandle = platform::kNoHandle;
  platform::DeviceHandle OverlappedHandle = platform::kNoHandle;
  std::string DevicePath;
  std::uint16_t VendorId = 0;
  std::uint16_t ProductId = 0;
  std::uint16_t VersionNumber = 0;
  std::int16_t InputReportLength = 0;
  std::int16_t FeatureReportLength = 0;
  std::int64_t ReadEvent = 0;
  ReadOverlappedRecord ReadOverlapped;
  std::int32_t LastResult = 0;
};

}  // namespace tamrik::device

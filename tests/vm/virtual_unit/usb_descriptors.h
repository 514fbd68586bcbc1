#pragma once
// The unit's USB descriptors: a full-speed device with one configuration, one HID interface and
// its interrupt IN endpoint, the HID descriptor and a vendor-defined report descriptor whose input
// and feature reports have the unit's lengths (no report IDs).
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamrik::vm {

inline constexpr std::uint8_t kInterruptInEndpoint = 0x81;
inline constexpr std::uint8_t kConfigurationValue = 1;
inline constexpr std::uint8_t kMaxPacketSize = 64;
inline constexpr std::uint8_t kHidClass = 3;

inline constexpr std::uint8_t kManufacturerIndex = 1;
inline constexpr std::uint8_t kProductIndex = 2;
inline constexpr std::uint8_t kSerialIndex = 3;

// Descriptor types (the high byte of GET_DESCRIPTOR's wValue).
inline constexpr std::uint8_t kDeviceDescriptor = 1;
inline constexpr std::uint8_t kConfigurationDescriptor = 2;
inline constexpr std::uint8_t kStringDescriptor = 3;
inline constexpr std::uint8_t kHidDescriptor = 0x21;
inline constexpr std::uint8_t kReportDescriptor = 0x22;

// What the host learns of the unit when it enumerates it.
struct DeviceIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t release = 0;  // the firmware version
  std::u16string manufacturer;
  std::u16string product;
  std::u16string serial;
  bool serialReadable = true;
  int inputReportLength = 65;    // report ID byte included, as the host counts it
  int featureReportLength = 65;  // report ID byte included
  std::chrono::milliseconds reportInterval{8};

  std::size_t inputBytes() const;    // on the wire: without the report ID byte
  std::size_t featureBytes() const;
};

std::vector<std::uint8_t> deviceDescriptor(const DeviceIdentity& id);
// The configuration with its interface, HID and endpoint descriptors, as one block.
std::vector<std::uint8_t> configurationDescriptor(const DeviceIdentity& id);
std::vector<std::uint8_t> hidDescriptor(const DeviceIdentity& id);
std::vector<std::uint8_t> reportDescriptor(const DeviceIdentity& id);
// String 0 (the language list) or one of the three strings; none for an index the unit lacks.
std::optional<std::vector<std::uint8_t>> stringDescriptor(const DeviceIdentity& id, std::uint8_t index);

// UTF-8 text as UTF-16 (characters beyond the BMP as surrogate pairs); none when it is not UTF-8.
std::optional<std::u16string> utf16FromUtf8(std::string_view text);
// The most code units a string descriptor (at most 255 bytes) carries.
inline constexpr std::size_t kMaxStringUnits = 126;

}  // namespace tamrik::vm

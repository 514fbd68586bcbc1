#pragma once
// The messages of USB/IP as the kernel's vhci-hcd and the usbip tool speak them: the operations of
// a connection's start (device list, import) and, once a device is imported, the URB commands and
// their replies. Every field is big-endian except the setup packet, which travels as USB has it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tamrik::vm {

inline constexpr std::uint16_t kUsbipVersion = 0x0111;

inline constexpr std::uint16_t kOpReqDevlist = 0x8005;
inline constexpr std::uint16_t kOpRepDevlist = 0x0005;
inline constexpr std::uint16_t kOpReqImport = 0x8003;
inline constexpr std::uint16_t kOpRepImport = 0x0003;

// Status of an operation reply.
inline constexpr std::uint32_t kStatusOk = 0;
inline constexpr std::uint32_t kStatusDeviceBusy = 2;
inline constexpr std::uint32_t kStatusNoDevice = 4;

inline constexpr std::uint32_t kCmdSubmit = 1;
inline constexpr std::uint32_t kCmdUnlink = 2;
inline constexpr std::uint32_t kRetSubmit = 3;
inline constexpr std::uint32_t kRetUnlink = 4;

inline constexpr std::uint32_t kDirectionOut = 0;
inline constexpr std::uint32_t kDirectionIn = 1;

inline constexpr std::size_t kOpHeaderBytes = 8;
inline constexpr std::size_t kBusIdBytes = 32;
inline constexpr std::size_t kPathBytes = 256;
inline constexpr std::size_t kUrbHeaderBytes = 48;

// The kernel's numbers for a device's speed.
inline constexpr std::uint32_t kSpeedFull = 2;

struct OpHeader {
  std::uint16_t version = 0;
  std::uint16_t code = 0;
  std::uint32_t status = 0;
};
OpHeader decodeOpHeader(std::span<const std::uint8_t, kOpHeaderBytes> bytes);

// A device as the list and the import describe it.
struct ExportedDevice {
  std::string path;
  std::string busId;
  std::uint32_t busNumber = 1;
  std::uint32_t deviceNumber = 2;
  std::uint32_t speed = kSpeedFull;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t release = 0;
  std::uint8_t deviceClass = 0;
  std::uint8_t deviceSubClass = 0;
  std::uint8_t deviceProtocol = 0;
  std::uint8_t configurationValue = 0;
  std::uint8_t configurations = 1;
  struct Interface {
    std::uint8_t cls = 0;
    std::uint8_t subClass = 0;
    std::uint8_t protocol = 0;
  };
  std::vector<Interface> interfaces;

  std::uint32_t deviceId() const { return busNumber << 16 | deviceNumber; }
};

// OP_REP_DEVLIST with the devices given (none while the unit is unplugged).
std::vector<std::uint8_t> devlistReply(std::span<const ExportedDevice> devices);
// OP_REP_IMPORT: the device when the import succeeded, only the status otherwise.
std::vector<std::uint8_t> importReply(std::uint32_t status, const ExportedDevice* device);
// The bus ID an OP_REQ_IMPORT asks for (the bytes after its header, up to the first zero).
std::string importedBusId(std::span<const std::uint8_t, kBusIdBytes> bytes);

// The common header of the URB commands; `submit` holds CMD_SUBMIT's fields, `unlinkSeqnum`
// CMD_UNLINK's.
struct UrbHeader {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::uint32_t deviceId = 0;
  std::uint32_t direction = 0;
  std::uint32_t endpoint = 0;
  std::uint32_t transferFlags = 0;
  std::uint32_t bufferLength = 0;
  std::uint32_t startFrame = 0;
  std::uint32_t packets = 0;
  std::uint32_t interval = 0;
  std::array<std::uint8_t, 8> setup{};
  std::uint32_t unlinkSeqnum = 0;  // the same bytes as transferFlags
};
UrbHeader decodeUrbHeader(std::span<const std::uint8_t, kUrbHeaderBytes> bytes);

// USBIP_RET_SUBMIT carrying `data` (an IN transfer's bytes; empty for OUT) and its length, or the
// length an OUT transfer took.
std::vector<std::uint8_t> retSubmit(std::uint32_t seqnum, std::int32_t status, std::span<const std::uint8_t> data,
                                    std::uint32_t actualLength);
// USBIP_RET_UNLINK for the CMD_UNLINK of that seqnum.
std::vector<std::uint8_t> retUnlink(std::uint32_t seqnum, std::int32_t status);

// A USB control transfer's setup packet (little-endian on the wire).
struct SetupPacket {
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;

  bool deviceToHost() const { return (requestType & 0x80) != 0; }
  std::uint8_t type() const { return (requestType >> 5) & 0x3; }  // 0 standard, 1 class, 2 vendor
  std::uint8_t recipient() const { return requestType & 0x1F; }   // 0 device, 1 interface, 2 endpoint
};
SetupPacket decodeSetup(const std::array<std::uint8_t, 8>& bytes);

}  // namespace tamrik::vm

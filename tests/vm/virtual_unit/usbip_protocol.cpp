#include "tests/vm/virtual_unit/usbip_protocol.h"

#include <algorithm>

namespace tamrik::vm {

namespace {

std::uint16_t be16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
         static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A zero-padded text field; one byte is always left for the terminating zero.
void putText(std::vector<std::uint8_t>& out, const std::string& text, std::size_t width) {
  const std::size_t n = std::min(text.size(), width - 1);
  out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
  out.insert(out.end(), width - n, 0);
}

void putOpHeader(std::vector<std::uint8_t>& out, std::uint16_t code, std::uint32_t status) {
  put16(out, kUsbipVersion);
  put16(out, code);
  put32(out, status);
}

void putDevice(std::vector<std::uint8_t>& out, const ExportedDevice& d) {
  putText(out, d.path, kPathBytes);
  putText(out, d.busId, kBusIdBytes);
  put32(out, d.busNumber);
  put32(out, d.deviceNumber);
  put32(out, d.speed);
  put16(out, d.vendorId);
  put16(out, d.productId);
  put16(out, d.release);
  out.push_back(d.deviceClass);
  out.push_back(d.deviceSubClass);
  out.push_back(d.deviceProtocol);
  out.push_back(d.configurationValue);
  out.push_back(d.configurations);
  out.push_back(static_cast<std::uint8_t>(d.interfaces.size()));
}

}  // namespace

OpHeader decodeOpHeader(std::span<const std::uint8_t, kOpHeaderBytes> b) {
  return OpHeader{be16(b, 0), be16(b, 2), be32(b, 4)};
}

std::vector<std::uint8_t> devlistReply(std::span<const ExportedDevice> devices) {
  std::vector<std::uint8_t> out;
  putOpHeader(out, kOpRepDevlist, kStatusOk);
  put32(out, static_cast<std::uint32_t>(devices.size()));
  for (const ExportedDevice& d : devices) {
    putDevice(out, d);
    for (const auto& i : d.interfaces) {
      out.push_back(i.cls);
      out.push_back(i.subClass);
      out.push_back(i.protocol);
      out.push_back(0);  // padding
    }
  }
  return out;
}

std::vector<std::uint8_t> importReply(std::uint32_t status, const ExportedDevice* device) {
  std::vector<std::uint8_t> out;
  putOpHeader(out, kOpRepImport, status);
  if (status == kStatusOk && device) putDevice(out, *device);
  return out;
}

std::string importedBusId(std::span<const std::uint8_t, kBusIdBytes> b) {
  const auto end = std::find(b.begin(), b.end(), std::uint8_t{0});
  return std::string(b.begin(), end);
}

UrbHeader decodeUrbHeader(std::span<const std::uint8_t, kUrbHeaderBytes> b) {
  UrbHeader h;
  h.command = be32(b, 0);
  h.seqnum = be32(b, 4);
  h.deviceId = be32(b, 8);
  h.direction = be32(b, 12);
  h.endpoint = be32(b, 16);
  h.transferFlags = be32(b, 20);
  h.unlinkSeqnum = h.transferFlags;
  h.bufferLength = be32(b, 24);
  h.startFrame = be32(b, 28);
  h.packets = be32(b, 32);
  h.interval = be32(b, 36);
  std::copy_n(b.begin() + 40, 8, h.setup.begin());
  return h;
}

std::vector<std::uint8_t> retSubmit(std::uint32_t seqnum, std::int32_t status, std::span<const std::uint8_t> data,
                                    std::uint32_t actualLength) {
  std::vector<std::uint8_t> out;
  out.reserve(kUrbHeaderBytes + data.size());
  put32(out, kRetSubmit);
  put32(out, seqnum);
  put32(out, 0);  // devid, direction and endpoint are left zero in replies
  put32(out, 0);
  put32(out, 0);
  put32(out, static_cast<std::uint32_t>(status));
  put32(out, actualLength);
  put32(out, 0);  // start frame
  put32(out, 0);  // packets: none, these are not isochronous transfers
  put32(out, 0);  // error count
  out.insert(out.end(), 8, 0);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::vector<std::uint8_t> retUnlink(std::uint32_t seqnum, std::int32_t status) {
  std::vector<std::uint8_t> out;
  out.reserve(kUrbHeaderBytes);
  put32(out, kRetUnlink);
  put32(out, seqnum);
  put32(out, 0);
  put32(out, 0);
  put32(out, 0);
  put32(out, static_cast<std::uint32_t>(status));
  out.resize(kUrbHeaderBytes, 0);
  return out;
}

SetupPacket decodeSetup(const std::array<std::uint8_t, 8>& b) {
  return SetupPacket{b[0], b[1], static_cast<std::uint16_t>(b[2] | b[3] << 8),
                     static_cast<std::uint16_t>(b[4] | b[5] << 8), static_cast<std::uint16_t>(b[6] | b[7] << 8)};
}

}  // namespace tamrik::vm

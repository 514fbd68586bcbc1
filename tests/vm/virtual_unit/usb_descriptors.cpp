#include "tests/vm/virtual_unit/usb_descriptors.h"

#include <algorithm>

namespace tamrik::vm {

namespace {

void putLe16(std::vector<std::uint8_t>& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

// Report Count for `bytes` 8-bit fields, in the shortest item that holds it.
void putReportCount(std::vector<std::uint8_t>& out, std::size_t bytes) {
  if (bytes <= 0xFF) {
    out.insert(out.end(), {0x95, static_cast<std::uint8_t>(bytes)});
  } else {
    out.push_back(0x96);
    putLe16(out, bytes);
  }
}

}  // namespace

std::size_t DeviceIdentity::inputBytes() const { return inputReportLength > 1 ? static_cast<std::size_t>(inputReportLength - 1) : 0; }

std::size_t DeviceIdentity::featureBytes() const {
  return featureReportLength > 1 ? static_cast<std::size_t>(featureReportLength - 1) : 0;
}

std::vector<std::uint8_t> deviceDescriptor(const DeviceIdentity& id) {
  std::vector<std::uint8_t> d{18, kDeviceDescriptor};
  putLe16(d, 0x0200);                  // bcdUSB 2.00
  d.insert(d.end(), {0, 0, 0});        // class, subclass and protocol: per interface
  d.push_back(kMaxPacketSize);         // endpoint 0
  putLe16(d, id.vendorId);
  putLe16(d, id.productId);
  putLe16(d, id.release);
  d.insert(d.end(), {kManufacturerIndex, kProductIndex, kSerialIndex, 1});
  return d;
}

std::vector<std::uint8_t> hidDescriptor(const DeviceIdentity& id) {
  std::vector<std::uint8_t> d{9, kHidDescriptor};
  putLe16(d, 0x0111);  // HID 1.11
  d.insert(d.end(), {0, 1, kReportDescriptor});  // no country, one class descriptor: the report descriptor
  putLe16(d, reportDescriptor(id).size());
  return d;
}

std::vector<std::uint8_t> configurationDescriptor(const DeviceIdentity& id) {
  std::vector<std::uint8_t> d{9, kConfigurationDescriptor, 0, 0, 1, kConfigurationValue, 0,
                              0x80,  // bus-powered, no remote wake-up
                              250};  // 500 mA
  // Interface 0, alternate setting 0, one endpoint, HID without a boot protocol, no string.
  d.insert(d.end(), {9, 4, 0, 0, 1, kHidClass, 0, 0, 0});
  const auto hid = hidDescriptor(id);
  d.insert(d.end(), hid.begin(), hid.end());
  // The interrupt IN endpoint, polled at the unit's report cadence.
  const auto interval = std::clamp<long long>(id.reportInterval.count(), 1, 255);
  d.insert(d.end(), {7, 5, kInterruptInEndpoint, 0x03});
  putLe16(d, kMaxPacketSize);
  d.push_back(static_cast<std::uint8_t>(interval));
  d[2] = static_cast<std::uint8_t>(d.size() & 0xFF);
  d[3] = static_cast<std::uint8_t>(d.size() >> 8);
  return d;
}

std::vector<std::uint8_t> reportDescriptor(const DeviceIdentity& id) {
  std::vector<std::uint8_t> d{
      0x06, 0x00, 0xFF,  // Usage Page (vendor-defined 0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x75, 0x08,        //   Report Size (8)
  };
  if (id.inputBytes() > 0) {
    d.insert(d.end(), {0x09, 0x01});  // Usage (1)
    putReportCount(d, id.inputBytes());
    d.insert(d.end(), {0x81, 0x02});  // Input (Data, Variable, Absolute)
  }
  if (id.featureBytes() > 0) {
    d.insert(d.end(), {0x09, 0x02});  // Usage (2)
    putReportCount(d, id.featureBytes());
    d.insert(d.end(), {0xB1, 0x02});  // Feature (Data, Variable, Absolute)
  }
  d.push_back(0xC0);  // End Collection
  return d;
}

std::optional<std::vector<std::uint8_t>> stringDescriptor(const DeviceIdentity& id, std::uint8_t index) {
  const std::u16string* text = nullptr;
  switch (index) {
    case 0: return std::vector<std::uint8_t>{4, kStringDescriptor, 0x09, 0x04};  // English (United States)
    case kManufacturerIndex: text = &id.manufacturer; break;
    case kProductIndex: text = &id.product; break;
    case kSerialIndex:
      if (!id.serialReadable) return std::nullopt;
      text = &id.serial;
      break;
    default: return std::nullopt;
  }
  const std::size_t units = std::min(text->size(), kMaxStringUnits);
  std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * units), kStringDescriptor};
  for (std::size_t i = 0; i < units; ++i) putLe16(d, (*text)[i]);
  return d;
}

std::optional<std::u16string> utf16FromUtf8(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t c = 0;
    if (lead < 0x80) {
      c = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      c = lead & 0x07;
    } else {
      return std::nullopt;
    }
    if (text.size() - i - 1 < extra) return std::nullopt;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = c << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode are not UTF-8.
    static constexpr char32_t kSmallest[4] = {0, 0x80, 0x800, 0x10000};
    if (c < kSmallest[extra] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return std::nullopt;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += 1 + extra;
  }
  return out;
}

}  // namespace tamrik::vm

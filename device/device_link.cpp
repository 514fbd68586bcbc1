#include "device/device_link.h"

#include <array>
#include <chrono>
#include <set>

#include "device/settings_report.h"
#include "ui/satellite_chart.h"

namespace tamrik::device {

using namespace std::chrono_literals;
using platform::DeviceHandle;
using platform::HidString;
using platform::OpenMode;

namespace {

constexpr std::size_t kStringRequestBytes = 100;  // 50 UTF-16 code units

// Receiver messages the window switches, all of class NAV.
constexpr std::uint8_t kClassNav = 0x01;
constexpr std::uint8_t kNavSvinfo = 0x30;
constexpr std::uint8_t kNavClock = 0x22;
constexpr std::uint8_t kNavPvt = 0x07;

constexpr std::uint8_t kCommandReceiverPassThrough = 8;
constexpr std::uint8_t kCommandQuery = 10;

constexpr const char* kDriveStrengths[] = {"8mA", "16mA", "24mA", "32mA"};

// The boxes a readback writes, whose text the user may be changing.
constexpr const char* kReadbackBoxes[] = {"Out1Freq", "GPS",    "N31",    "N2_HS", "N2_LS",
                                          "N1_HS",    "NC1_LS", "NC2_LS", "BW"};

// Latin-1 bytes to UTF-8, so that every 8-bit character of a device text shows as itself.
std::string latin1ToUtf8(const std::string& bytes) {
  std::string out;
  for (const char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

bool isUnitIds(std::uint16_t vendorId, std::uint16_t productId) {
  return vendorId == kTamrikVendorId && productId == kTamrikProductId;
}

// The common walk over the present HID interfaces. An interface whose listed IDs are not a unit's
// is passed over unopened: the poller walks twice a tick while no unit is open, and other devices
// (keyboards, security keys) must not be opened many times a second. Every other interface is
// opened and its attributes decide. The visitor receives its path, the handle opened on it
// (possibly invalid), its attributes and whether it is a Tamrik unit; it returns true to stop the
// walk, and then owns the handle. Otherwise the walk closes the handle.
template <typename Visitor>
void walkInterfaces(WindowState& s, Visitor&& visit) {
  auto& p = s.platform;
  for (const platform::HidInterface& listed : p.deviceSetup.hidInterfaces()) {
    if (listed.idsListed && !isUnitIds(listed.vendorId, listed.productId)) continue;
    const DeviceHandle handle = p.kernel.openDevice(listed.path, OpenMode::Plain);
    platform::HidAttributes attrs;  // IDs stay 0 when the query fails
    if (auto a = platform::isValidHandle(handle) ? p.hid.attributes(handle) : std::nullopt) attrs = *a;
    const bool isUnit = isUnitIds(attrs.vendorId, attrs.productId);
    if (visit(listed.path, handle, attrs, isUnit)) return;
    s.link.LastResult = p.kernel.closeHandle(handle);
  }
}

// The serial text a unit is listed and chosen by. A unit whose serial cannot be read, or reads as
// an empty text, cannot be told apart from others: it has none.
std::optional<std::string> unitSerial(WindowState& s, DeviceHandle handle) {
  const auto units = s.platform.hid.string(handle, HidString::SerialNumber, kStringRequestBytes);
  if (!units) return std::nullopt;
  std::string text = DeviceLink::SerialText(*units);
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace

DeviceLink::DeviceLink(WindowState& state) : s_(state) {}

std::string DeviceLink::SerialText(const std::u16string& units) {
  std::string bytes;
  for (const char16_t unit : units) {
    const auto low = static_cast<char>(unit & 0xFF);
    if (low == 0 || bytes.size() == kStringRequestBytes / 2) break;
    bytes += low;
  }
  return latin1ToUtf8(bytes);
}

std::string DeviceLink::VersionText(std::uint16_t version) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const unsigned minor = version & 0xFF;
  std::string text = std::to_string(version >> 8) + ".";
  if (minor >= 16) text += kHex[minor >> 4];
  text += kHex[minor & 0xF];
  return text;
}

void DeviceLink::Scan_USB_devices() {
  auto& m = s_.model;
  s_.flags.ScanDone = false;
  m.clearItems("SerNo");
  m.setEnabled("SerNo", false);
  int counter = -1;
  walkInterfaces(s_, [&](const std::string&, DeviceHandle handle, const platform::HidAttributes&, bool isUnit) {
    if (!isUnit) return false;
    const auto serial = unitSerial(s_, handle);
    if (!serial) return false;
    ++counter;
    m.addItem("SerNo", *serial);
    m.setSelected("SerNo", counter);
    return false;
  });
  if (counter > 0) m.setEnabled("SerNo", true);
  s_.flags.ScanDone = true;
}

bool DeviceLink::FindTheHid() {
  auto& link = s_.link;
  link.Connected = false;
  const std::string wanted = s_.model.selectedText("SerNo");
  walkInterfaces(s_, [&](const std::string& path, DeviceHandle handle, const platform::HidAttributes& attrs,
                         bool isUnit) {
    if (!isUnit) return false;
    const auto serial = unitSerial(s_, handle);
    if (!serial || *serial != wanted) return false;
    link.DevicePath = path;
    link.CommandHandle = handle;
    link.VendorId = attrs.vendorId;
    link.ProductId = attrs.productId;
    link.VersionNumber = attrs.versionNumber;
    link.Connected = true;
    return true;
  });
  if (!link.Connected) return false;
  ++s_.linkEpoch;
  ReadHidCapabilities();
  link.OverlappedHandle = s_.platform.kernel.openDevice(link.DevicePath, OpenMode::Overlapped);
  link.LastResult = static_cast<std::int32_t>(link.OverlappedHandle);
  PrepareReadOverlapped();
  return true;
}

void DeviceLink::ReadHidCapabilities() {
  auto caps = s_.platform.hid.capabilities(s_.link.CommandHandle);
  s_.link.LastResult = caps.has_value();
  if (!caps) {
    s_.link.InputReportLength = 0;
    s_.link.FeatureReportLength = 0;
    return;
  }
  auto clamp16 = [](int v) { return static_cast<std::int16_t>(v < 0 ? 0 : (v > 32767 ? 32767 : v)); };
  s_.link.InputReportLength = clamp16(caps->inputReportLength);
  s_.link.FeatureReportLength = clamp16(caps->featureReportLength);
}

void DeviceLink::PrepareReadOverlapped() {
  auto& link = s_.link;
  if (link.ReadEvent == 0) link.ReadEvent = s_.platform.kernel.createEvent();
  link.ReadOverlapped = ReadOverlappedRecord{0, 0, link.ReadEvent};
}

bool DeviceLink::UnitUsable() const {
  return s_.link.Connected && s_.link.FeatureReportLength >= kMinimumFeatureReportLength;
}

std::vector<std::uint8_t> DeviceLink::CommandFrame(std::uint8_t code) const {
  const auto length = static_cast<std::size_t>(s_.link.FeatureReportLength > 0 ? s_.link.FeatureReportLength : 0);
  std::vector<std::uint8_t> frame(length, 0);
  if (frame.size() > 1) frame[1] = code;
  return frame;
}

bool DeviceLink::SendFrame(std::span<const std::uint8_t> frame) {
  if (!UnitUsable() || frame.size() != static_cast<std::size_t>(s_.link.FeatureReportLength)) {
    s_.link.LastResult = 0;
    return false;
  }
  const bool ok = s_.platform.hid.setFeature(s_.link.CommandHandle, frame);
  s_.link.LastResult = ok;
  return ok;
}

void DeviceLink::SetReceiverMessageRate(std::uint8_t messageClass, std::uint8_t messageId, std::uint8_t rate) {
  if (!s_.link.Connected || !s_.flags.SettingsLoaded) return;
  auto frame = CommandFrame(kCommandReceiverPassThrough);
  if (frame.size() < 14) return;
  frame[2] = 0x06;  // UBX class CFG
  frame[3] = 0x01;  // UBX id MSG
  frame[4] = 8;     // payload length, little-endian
  frame[5] = 0;
  frame[6] = messageClass;
  frame[7] = messageId;
  frame[8] = rate;  // port 0; the other five ports stay 0
  SendFrame(frame);
}

void DeviceLink::CloseUnit() {
  auto& link = s_.link;
  link.Connected = false;
  link.LastResult = s_.platform.kernel.closeHandle(link.CommandHandle);
  link.LastResult = s_.platform.kernel.closeHandle(link.OverlappedHandle);
  link.CommandHandle = platform::kNoHandle;
  link.OverlappedHandle = platform::kNoHandle;
  ++s_.linkEpoch;
}

void DeviceLink::ReadUnitSettings(Readback kind) {
  auto& m = s_.model;
  auto& link = s_.link;
  auto& p = s_.platform;
  ++s_.readbackCount;

  // After a drift command the unit the last readback showed is refreshed in place: nothing is
  // cleared or disabled on the way (that would move the focus), and a box whose text the user has
  // changed since the readback last wrote it keeps that text.
  const bool inPlace = kind == Readback::AfterDrift && UnitUsable() && shownEpoch_ == s_.linkEpoch;
  std::set<std::string> userTexts;
  if (inPlace) {
    for (const char* box : kReadbackBoxes) {
      if (m.at(box).text != shownTexts_[box]) userTexts.insert(box);
    }
  }
  auto setBox = [&](const char* box, const std::string& text) {
    if (!userTexts.contains(box)) m.setText(box, text);
  };

  if (!inPlace) s_.flags.BlinkOn = false;
  s_.flags.SettingsLoaded = false;
  shownEpoch_.reset();

  if (!inPlace) {
    m.setText("lblManuf", "");
    m.setText("lblProduct", "");
    m.setText("lblVersion", "");
    m.clearItems("Enc1");
    m.setEnabled("Enc1", false);
    m.setEnabled("OUT1ID", false);
    m.setChecked("OUT1EN", false);
    m.setEnabled("OUT1EN", false);
    m.setText("Out1Freq", "");
    m.setEnabled("Out1Freq", false);
    m.setEnabled("FindFreq", false);
    m.setEnabled("SetFreq", false);
    m.setEnabled("Advanced", false);
    for (const char* box : {"GPS", "N31", "N2_HS", "N2_LS", "N1_HS", "NC1_LS", "NC2_LS"}) m.setText(box, "");
    m.setEnabled("Frame3", false);
  }

  if (!link.Connected) return;

  bool versionKnown = false;
  p.kernel.sleep(5ms);
  if (auto manufacturer = p.hid.string(link.OverlappedHandle, HidString::Manufacturer, kStringRequestBytes)) {
    m.setText("lblManuf", " " + SerialText(*manufacturer));
    m.setText("lblVersion", " " + VersionText(link.VersionNumber));
    versionKnown = true;
  } else if (inPlace) {
    m.setText("lblManuf", "");
    m.setText("lblVersion", "");
  }
  p.kernel.sleep(5ms);
  if (auto product = p.hid.string(link.OverlappedHandle, HidString::Product, kStringRequestBytes)) {
    m.setText("lblProduct", " " + SerialText(*product));
  } else if (inPlace) {
    m.setText("lblProduct", "");
  }
  p.kernel.sleep(5ms);
  link.LastResult = p.hid.string(link.OverlappedHandle, HidString::SerialNumber, kStringRequestBytes).has_value();
  m.setEnabled("Frame1", true);

  // A unit whose feature report cannot carry the settings report is shown but never read or
  // commanded: its controls stay disabled and the version line says why.
  if (!UnitUsable()) {
    m.setText("lblVersion", m.at("lblVersion").text + " (unit not usable: feature report of " +
                                std::to_string(link.FeatureReportLength) + " bytes)");
    return;
  }

  if (!inPlace) {
    for (const char* strength : kDriveStrengths) m.addItem("Enc1", strength);
    m.setSelected("Enc1", 0);
  }
  m.setEnabled("Enc1", true);
  m.setEnabled("OUT1ID", true);
  m.setEnabled("OUT1EN", true);
  m.setEnabled("Out1Freq", true);
  m.setEnabled("FindFreq", true);
  m.setText("FindFreq", "Set frequency");
  m.setEnabled("SetFreq", true);
  m.setEnabled("Advanced", true);
  m.setEnabled("Frame3", true);
  p.kernel.sleep(2ms);

  std::vector<std::uint8_t> report(static_cast<std::size_t>(link.FeatureReportLength), 0);
  if (link.VersionNumber >= 0x0114) {
    auto query = CommandFrame(kCommandQuery);
    query[2] = 4;
    SendFrame(query);
    p.kernel.sleep(2ms);
    report[0] = 0;
    link.LastResult = p.hid.getFeature(link.CommandHandle, report).has_value();
  }
  p.kernel.sleep(5ms);
  report.assign(report.size(), 0);
  // An answer that stops short of the last field the settings need is a failed read: the zeros the
  // rest reads as are not the unit's settings.
  const auto delivered = p.hid.getFeature(link.CommandHandle, report);
  const bool read = delivered && *delivered >= static_cast<std::size_t>(kMinimumFeatureReportLength);
  link.LastResult = read;
  bool filled = false;
  if (read) {
    if (auto settings = decodeSettingsReport(report)) {
      const auto& v = settings->synth;
      m.setChecked("OUT1EN", settings->outputEnabled);
      m.setSelected("Enc1", settings->driveIndex);
      setBox("GPS", std::to_string(v.gps));
      setBox("N31", std::to_string(v.n31));
      setBox("N2_HS", std::to_string(v.n2_hs));
      setBox("N2_LS", std::to_string(v.n2_ls));
      setBox("N1_HS", std::to_string(v.n1_hs));
      setBox("NC1_LS", std::to_string(v.nc1_ls));
      setBox("NC2_LS", std::to_string(v.nc2_ls));
      setBox("BW", std::to_string(v.bw));
      setBox("Out1Freq", outputFrequencyText(v.gps, v.n31, v.n2_hs, v.n2_ls, v.n1_hs, v.nc1_ls, s_.numberFormat));
      m.setText("F3lbl", f3Caption(v.gps, v.n31));
      m.setText("Fosclbl", foscCaption(v.gps, v.n31, v.n2_hs, v.n2_ls, s_.numberFormat));
      filled = true;
      if (!inPlace) {
        m.setFocus("Out1Freq");
        m.setSelStart("Out1Freq", 999);
      }
    }
  }
  if (inPlace && !filled) {
    // What a failed read leaves, as the clearing at the start would have left it.
    m.setChecked("OUT1EN", false);
    m.setSelected("Enc1", 0);
    for (const char* box : {"GPS", "N31", "N2_HS", "N2_LS", "N1_HS", "NC1_LS", "NC2_LS", "Out1Freq"}) setBox(box, "");
  }

  s_.flags.SettingsLoaded = true;
  for (const char* box : kReadbackBoxes) {
    if (!userTexts.contains(box)) shownTexts_[box] = m.at(box).text;
  }
  shownEpoch_ = s_.linkEpoch;

  const bool fastRates = versionKnown && link.VersionNumber == 0x0120;
  SetReceiverMessageRate(kClassNav, kNavSvinfo, fastRates ? 2 : 20);
  SetReceiverMessageRate(kClassNav, kNavClock, fastRates ? 2 : 20);
  SetReceiverMessageRate(kClassNav, kNavPvt, fastRates ? 1 : 10);

  ui::resetSatelliteBars(m, false);
}

void DeviceLink::SerNoClick() {
  if (!s_.flags.ScanDone) return;
  auto& m = s_.model;
  m.setEnabled("Timer", false);
  s_.flags.ReconnectRequested = true;
  if (s_.link.Connected) {
    CloseUnit();
    m.setInterval("Timer", 250);
    s_.flags.SettingsLoaded = false;
  }
  s_.flags.SettingsLoaded = false;
  s_.link.Connected = FindTheHid();
  if (s_.link.Connected) s_.flags.ReconnectRequested = false;
  ReadUnitSettings();
  m.setEnabled("Timer", true);
}

void DeviceLink::Unload() {
  SetReceiverMessageRate(kClassNav, kNavSvinfo, 0);
  SetReceiverMessageRate(kClassNav, kNavClock, 0);
  SetReceiverMessageRate(kClassNav, kNavPvt, 0);
  s_.model.setEnabled("Timer", false);
  s_.flags.ScanDone = false;
  CloseUnit();
}

}  // namespace tamrik::device

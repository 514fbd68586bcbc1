#include "app/tamrikctl/bridge_unit_source.h"

#include <algorithm>
#include <span>

#include "device/device_link.h"
#include "device/unit_link.h"
#include "gps/input_reports.h"

namespace tamrik::ctl {

namespace {

using platform::DeviceHandle;

constexpr std::size_t kStringRequestBytes = 100;  // 50 UTF-16 code units
constexpr std::size_t kReportsPerRead = 64;
// The smallest feature report that carries a command frame the unit takes.
constexpr int kMinimumFeatureReportLength = device::kMinimumFeatureReportLength;

constexpr std::uint8_t kCommandReceiverPassThrough = 8;
constexpr std::uint8_t kClassNav = 0x01;
constexpr std::uint8_t kNavSvinfo = 0x30;
constexpr std::uint8_t kNavClock = 0x22;
constexpr std::uint8_t kNavPvt = 0x07;

struct Found {
  std::string path;
  std::string serial;
};

bool isUnit(std::uint16_t vendorId, std::uint16_t productId) {
  return vendorId == device::kTamrikVendorId && productId == device::kTamrikProductId;
}

// Every attached unit with a readable serial, in enumeration order. Interfaces listed with other
// IDs are passed over unopened.
std::vector<Found> attachedUnits(platform::DeviceBackend& devices) {
  std::vector<Found> units;
  for (const platform::HidInterface& listed : devices.hidInterfaces()) {
    if (listed.idsListed && !isUnit(listed.vendorId, listed.productId)) continue;
    const DeviceHandle h = devices.open(listed.path, platform::OpenMode::Plain);
    if (!platform::isValidHandle(h)) continue;
    const auto attrs = devices.attributes(h);
    if (attrs && isUnit(attrs->vendorId, attrs->productId)) {
      if (auto units16 = devices.string(h, platform::HidString::SerialNumber, kStringRequestBytes)) {
        std::string serial = device::DeviceLink::SerialText(*units16);
        if (!serial.empty()) units.push_back({listed.path, std::move(serial)});
      }
    }
    devices.close(h);
  }
  return units;
}

std::string joined(const std::vector<Found>& units) {
  std::string text;
  for (const Found& f : units) text += (text.empty() ? "" : ", ") + f.serial;
  return text;
}

}  // namespace

BridgeUnitSource::BridgeUnitSource(platform::DeviceBackend& devices, std::optional<std::string> serial)
    : devices_(devices), serial_(std::move(serial)) {}

BridgeUnitSource::~BridgeUnitSource() { close(); }

void BridgeUnitSource::close() {
  if (platform::isValidHandle(handle_)) devices_.close(handle_);
  handle_ = platform::kNoHandle;
}

SourceOpen BridgeUnitSource::open() {
  close();
  const std::vector<Found> units = attachedUnits(devices_);
  const Found* chosen = nullptr;
  for (const Found& f : units) {
    if (serial_ && f.serial == *serial_) chosen = &f;
  }
  if (!serial_) {
    if (units.empty()) return {SourceFailure::NoUnit, "no unit is attached"};
    if (units.size() > 1) {
      return {SourceFailure::NoUnit, "several units are attached (" + joined(units) + "); choose one with --unit"};
    }
    chosen = &units.front();
  }
  if (!chosen) return {SourceFailure::NoUnit, "no unit with serial " + *serial_ + " is attached"};
  const std::string serial = chosen->serial;

  handle_ = devices_.open(chosen->path, platform::OpenMode::Plain);
  if (!platform::isValidHandle(handle_)) {
    handle_ = platform::kNoHandle;
    return {SourceFailure::NoAnswer, "unit " + serial + " cannot be opened"};
  }
  const auto attrs = devices_.attributes(handle_);
  const auto caps = devices_.capabilities(handle_);
  if (!attrs || !caps) {
    close();
    return {SourceFailure::NoAnswer, "unit " + serial + " did not answer"};
  }
  inputReportLength_ = caps->inputReportLength;
  featureReportLength_ = caps->featureReportLength;
  if (featureReportLength_ < kMinimumFeatureReportLength || inputReportLength_ <= static_cast<int>(gps::kReportHeader)) {
    close();
    return {SourceFailure::NoAnswer, "unit " + serial + " cannot be used: feature report of " +
                                         std::to_string(featureReportLength_) + " bytes, input report of " +
                                         std::to_string(inputReportLength_)};
  }
  // As the window: the fast rates for firmware 1.20 when its version could be read with the
  // manufacturer's name, the slow ones otherwise.
  const bool versionKnown = devices_.string(handle_, platform::HidString::Manufacturer, kStringRequestBytes).has_value();
  fastRates_ = versionKnown && attrs->versionNumber == 0x0120;
  serial_ = serial;
  if (!switchMessagesOn()) {
    close();
    return {SourceFailure::NoAnswer, "unit " + serial + " did not take the command that switches its receiver messages on"};
  }
  buffer_.assign(kReportsPerRead * static_cast<std::size_t>(inputReportLength_), 0);
  lastHeard_ = std::chrono::steady_clock::now();
  return {};
}

bool BridgeUnitSource::switchMessagesOn() {
  const struct {
    std::uint8_t id;
    std::uint8_t fast;
    std::uint8_t slow;
  } rates[] = {{kNavSvinfo, 2, 20}, {kNavClock, 2, 20}, {kNavPvt, 1, 10}};
  for (const auto& r : rates) {
    // Command 8 passes a UBX CFG-MSG frame to the receiver: class, id and the rate on port 0.
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(featureReportLength_), 0);
    frame[1] = kCommandReceiverPassThrough;
    frame[2] = 0x06;  // CFG
    frame[3] = 0x01;  // MSG
    frame[4] = 8;     // payload length, little-endian
    frame[6] = kClassNav;
    frame[7] = r.id;
    frame[8] = fastRates_ ? r.fast : r.slow;
    if (!devices_.setFeature(handle_, frame)) return false;
  }
  return true;
}

bool BridgeUnitSource::read(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds timeout) {
  if (!opened()) return false;
  const platform::InputReadResult r = devices_.readInputReports(handle_, buffer_, timeout);
  if (!r.ok) {
    close();
    return false;
  }
  const auto length = static_cast<std::size_t>(inputReportLength_);
  const std::size_t before = bytes.size();
  const std::size_t reports = gps::WholeReports(std::min(r.bytes, buffer_.size()), inputReportLength_);
  for (std::size_t i = 0; i < reports; ++i) {
    const auto carried = gps::ReceiverBytes(std::span<const std::uint8_t>(buffer_.data() + i * length, length));
    bytes.insert(bytes.end(), carried.begin(), carried.end());
  }
  const auto now = std::chrono::steady_clock::now();
  if (bytes.size() > before) {
    lastHeard_ = now;
  } else if (now - lastHeard_ > kQuietLimit) {
    // A failed command here is not a loss; the next read tells whether the unit is still there.
    (void)switchMessagesOn();
    lastHeard_ = now;
  }
  return true;
}

}  // namespace tamrik::ctl

#include "core/unit_session.h"

#include <algorithm>

namespace tamrik::core {

using namespace std::chrono_literals;
using platform::DeviceHandle;
using platform::HidString;
using platform::OpenMode;

template <typename Visitor>
void UnitSession::walkUnits(Visitor&& visit) {
  for (const platform::HidInterface& listed : s_.deviceSetup.hidInterfaces()) {
    // An interface listed with another device's IDs is passed over unopened: the window walks twice
    // a tick while no unit is open, and other devices (keyboards, security keys) must not be opened
    // many times a second. Every other interface is opened and its attributes decide.
    if (listed.idsListed && !isUnitId(listed.vendorId, listed.productId)) continue;
    const DeviceHandle handle = s_.kernel.openDevice(listed.path, OpenMode::Plain);
    platform::HidAttributes attrs;  // IDs stay 0 when the query fails
    if (auto a = platform::isValidHandle(handle) ? s_.hid.attributes(handle) : std::nullopt) attrs = *a;
    if (isUnitId(attrs.vendorId, attrs.productId) && visit(listed.path, handle, attrs)) return;
    s_.kernel.closeHandle(handle);
  }
}

std::optional<std::string> UnitSession::serialOf(DeviceHandle handle) {
  // A unit whose serial cannot be read, or reads as an empty text, cannot be told apart from
  // others: it has none.
  const auto units = s_.hid.string(handle, HidString::SerialNumber, kStringRequestBytes);
  if (!units) return std::nullopt;
  std::string text = deviceText(*units);
  if (text.empty()) return std::nullopt;
  return text;
}

std::vector<UnitEntry> UnitSession::listUnits() {
  std::vector<UnitEntry> units;
  walkUnits([&](const std::string& path, DeviceHandle handle, const platform::HidAttributes&) {
    if (auto serial = serialOf(handle)) units.push_back({path, std::move(*serial)});
    return false;
  });
  return units;
}

bool UnitSession::open(std::string_view serial) {
  if (connected_) close();
  walkUnits([&](const std::string& path, DeviceHandle handle, const platform::HidAttributes& attrs) {
    const auto found = serialOf(handle);
    if (!found || *found != serial) return false;
    unit_ = OpenUnit{path, std::string(serial), attrs.versionNumber, 0, 0};
    commandHandle_ = handle;
    connected_ = true;
    return true;
  });
  if (!connected_) return false;
  ++epoch_;
  if (const auto caps = s_.hid.capabilities(commandHandle_)) {
    unit_.inputReportLength = std::clamp(caps->inputReportLength, 0, 32767);
    unit_.featureReportLength = std::clamp(caps->featureReportLength, 0, 32767);
  }
  stringHandle_ = s_.kernel.openDevice(unit_.path, OpenMode::Overlapped);
  return true;
}

void UnitSession::close() {
  connected_ = false;
  s_.kernel.closeHandle(commandHandle_);
  s_.kernel.closeHandle(stringHandle_);
  commandHandle_ = platform::kNoHandle;
  stringHandle_ = platform::kNoHandle;
  ++epoch_;
}

bool UnitSession::usable() const { return connected_ && unit_.featureReportLength >= kMinimumFeatureReportLength; }

std::size_t UnitSession::frameLength() const {
  return static_cast<std::size_t>(std::max(unit_.featureReportLength, 0));
}

UnitStrings UnitSession::readStrings() {
  UnitStrings out;
  if (!connected_) return out;
  auto read = [&](HidString which) -> std::optional<std::string> {
    s_.kernel.sleep(5ms);
    const auto units = s_.hid.string(stringHandle_, which, kStringRequestBytes);
    if (!units) return std::nullopt;
    return deviceText(*units);
  };
  out.manufacturer = read(HidString::Manufacturer);
  out.product = read(HidString::Product);
  out.serial = read(HidString::SerialNumber);
  return out;
}

std::optional<SettingsReport> UnitSession::readSettings() {
  if (!usable()) return std::nullopt;
  s_.kernel.sleep(2ms);
  std::vector<std::uint8_t> report(frameLength(), 0);
  if (unit_.firmwareVersion >= kFirmwareWithVersionQuery) {
    if (const auto query = queryFrame(kQueryVersion, frameLength())) send(*query);
    s_.kernel.sleep(2ms);
    report[0] = 0;
    s_.hid.getFeature(commandHandle_, report);  // the version; not used
  }
  s_.kernel.sleep(5ms);
  report.assign(report.size(), 0);
  // An answer that stops short of the last field the settings need is a failed read: the zeros the
  // rest reads as are not the unit's settings.
  const auto delivered = s_.hid.getFeature(commandHandle_, report);
  if (!delivered || *delivered < static_cast<std::size_t>(kMinimumFeatureReportLength)) return std::nullopt;
  return decodeSettingsReport(report);
}

bool UnitSession::send(std::span<const std::uint8_t> frame) {
  if (!usable() || frame.size() != frameLength()) return false;
  return s_.hid.setFeature(commandHandle_, frame);
}

namespace {
bool sendIf(UnitSession& session, const std::optional<Frame>& frame) { return frame && session.send(*frame); }
}  // namespace

bool UnitSession::setOutputEnabled(bool enabled) { return sendIf(*this, outputEnableFrame(enabled, frameLength())); }

bool UnitSession::setDriveStrength(std::uint8_t index) { return sendIf(*this, driveStrengthFrame(index, frameLength())); }

bool UnitSession::setBlink(bool on) { return sendIf(*this, blinkFrame(on, frameLength())); }

bool UnitSession::writeRegister(std::uint8_t reg, std::uint8_t data) {
  return sendIf(*this, registerWriteFrame(reg, data, frameLength()));
}

bool UnitSession::sendSettings(const Dividers& d) { return sendIf(*this, settingsFrame(d, frameLength())); }

bool UnitSession::sendClockDrift(std::int32_t drift) {
  return sendIf(*this, clockDriftFrame(clampDrift(drift), frameLength()));
}

bool UnitSession::sendSerialNumber(const SerialNumberPlan& plan) {
  return sendIf(*this, serialNumberFrame(plan, frameLength()));
}

bool UnitSession::setReceiverMessageRate(std::uint8_t messageClass, std::uint8_t messageId, std::uint8_t rate) {
  return sendIf(*this, receiverRateFrame(messageClass, messageId, rate, frameLength()));
}

platform::InputReadResult UnitSession::readInput(std::span<std::uint8_t> buffer,
                                                 std::chrono::milliseconds firstReportTimeout) {
  if (!connected_) return {};
  return s_.hid.readInputReports(commandHandle_, buffer, firstReportTimeout);
}

// ---- Unit ----

UnitIdentity Unit::identity() {
  const OpenUnit& u = session_.unit();
  const UnitStrings strings = session_.readStrings();
  UnitIdentity id;
  id.serial = strings.serial.value_or("");
  id.manufacturer = strings.manufacturer.value_or("");
  id.product = strings.product.value_or("");
  id.firmwareVersion = u.firmwareVersion;
  id.firmware = firmwareText(u.firmwareVersion);
  id.versionKnown = strings.manufacturer.has_value();
  id.usable = session_.usable();
  id.featureReportLength = u.featureReportLength;
  id.inputReportLength = u.inputReportLength;
  versionKnown_ = id.versionKnown;
  return id;
}

std::vector<UnitIdentity> Unit::list() {
  session_.close();
  std::vector<UnitIdentity> out;
  for (const UnitEntry& entry : session_.listUnits()) {
    if (!session_.open(entry.serial)) continue;
    UnitIdentity id = identity();
    id.serial = entry.serial;  // the serial it is listed and chosen by
    out.push_back(std::move(id));
    session_.close();
  }
  versionKnown_.reset();
  return out;
}

OpenOutcome Unit::open(std::optional<std::string_view> serial) {
  session_.close();
  versionKnown_.reset();
  if (serial) {
    if (session_.open(*serial)) return OpenOutcome::Opened;
    return session_.listUnits().empty() ? OpenOutcome::NoUnit : OpenOutcome::NotFound;
  }
  const std::vector<UnitEntry> units = session_.listUnits();
  if (units.empty()) return OpenOutcome::NoUnit;
  if (units.size() > 1) return OpenOutcome::SeveralUnits;
  // Gone between the listing and the opening: as if it had never been there.
  return session_.open(units.front().serial) ? OpenOutcome::Opened : OpenOutcome::NoUnit;
}

UnitReadback Unit::readback() {
  UnitReadback r;
  if (!session_.connected()) return r;
  r.identity = identity();
  r.settings = session_.readSettings();
  return r;
}

bool Unit::programSettings(const Dividers& d) {
  const bool first = session_.sendSettings(d);
  const bool second = session_.sendSettings(d);
  return first || second;
}

Unit::SerialResult Unit::setSerialNumber(std::string_view text) {
  const SerialNumberCheck check = planSerialNumber(text);
  if (!check.plan) return {check.problem, false, {}};
  SerialResult r{{}, session_.sendSerialNumber(*check.plan), check.plan->next};
  session_.close();
  return r;
}

bool Unit::setNavMessageRates() {
  if (!session_.usable()) return false;
  if (!versionKnown_) identity();
  const std::uint16_t version = session_.unit().firmwareVersion;
  bool all = true;
  for (const MessageRate& m : navMessageRates(*versionKnown_ ? std::optional(version) : std::nullopt)) {
    all = session_.setReceiverMessageRate(m.messageClass, m.messageId, m.rate) && all;
  }
  return all;
}

bool Unit::stopNavMessages() {
  bool all = true;
  for (const MessageRate& m : navMessagesOff()) {
    all = session_.setReceiverMessageRate(m.messageClass, m.messageId, m.rate) && all;
  }
  return all;
}

ReadOutcome Unit::readReceiver(ReceiverStream& stream, std::chrono::milliseconds firstReportTimeout) {
  if (!session_.connected()) return ReadOutcome::Lost;
  // Room for a second of reports at the unit's cadence, as whole reports.
  constexpr std::size_t kReadBytes = 34000;
  buffer_.resize(kReadBytes);
  const platform::InputReadResult read = session_.readInput(buffer_, firstReportTimeout);
  if (!read.ok) {
    session_.close();
    return ReadOutcome::Lost;
  }
  const std::size_t n = std::min(read.bytes, buffer_.size());
  const int length = session_.unit().inputReportLength;
  if (wholeReports(n, length) == 0) return ReadOutcome::Silent;
  return stream.feedInputReports(std::span<const std::uint8_t>(buffer_).first(n), length) ? ReadOutcome::Reports
                                                                                          : ReadOutcome::Stopped;
}

}  // namespace tamrik::core

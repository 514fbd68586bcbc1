#include "core/unit_session.h"

#include <algorithm>

namespace tamrik::core {

using namespace std::chrono_literals;
using platform::DeviceHandle;
using platform::HidString;
using platform::OpenMode;

void UnitSession::failed(std::string_view what, DeviceHandle handle) {
  std::string why = s_.hid.lastError(handle);
  lastError_ = std::string(what) + ": " + (why.empty() ? std::string("the unit did not take it") : why);
  if (s_.hid.lastRequestUnanswered(handle)) unanswered_ = true;
}

bool UnitSession::mayAsk(std::string_view what) {
  if (!unanswered_) return true;
  // The device's words are still those of the request that went unanswered.
  failed(what, commandHandle_);
  return false;
}

template <typename Visitor>
void UnitSession::walkUnits(Visitor&& visit, std::vector<UnopenedUnit>* unopened) {
  for (const platform::HidInterface& listed : s_.deviceSetup.hidInterfaces()) {
    // An interface listed with another device's IDs is passed over unopened: the window walks twice
    // a tick while no unit is open, and other devices (keyboards, security keys) must not be opened
    // many times a second. Every other interface is opened and its attributes decide.
    if (listed.idsListed && !isUnitId(listed.vendorId, listed.productId)) continue;
    const DeviceHandle handle = s_.kernel.openDevice(listed.path, OpenMode::Plain);
    if (!platform::isValidHandle(handle) && listed.idsListed && unopened != nullptr) {
      // Listed as a unit, yet it cannot be opened: busy with another program, or not permitted.
      // It is not the unit's absence, and the user is told so.
      unopened->push_back({listed.path, listed.serial, s_.kernel.lastOpenFailure()});
    }
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

UnitList UnitSession::listUnits() {
  UnitList list;
  walkUnits(
      [&](const std::string& path, DeviceHandle handle, const platform::HidAttributes&) {
        if (auto serial = serialOf(handle)) list.units.push_back({path, std::move(*serial)});
        return false;
      },
      &list.unopened);
  return list;
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
  unanswered_ = false;
  if (const auto caps = s_.hid.capabilities(commandHandle_)) {
    unit_.inputReportLength = std::clamp(caps->inputReportLength, 0, 32767);
    unit_.featureReportLength = std::clamp(caps->featureReportLength, 0, 32767);
  }
  stringHandle_ = s_.kernel.openDevice(unit_.path, OpenMode::Overlapped);
  return true;
}

void UnitSession::close() {
  if (!connected_) return;
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
    if (!units) {
      failed("reading the unit's strings", stringHandle_);
      return std::nullopt;
    }
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
    // The version; not used.
    if (mayAsk("reading the version") && !s_.hid.getFeature(commandHandle_, report)) {
      failed("reading the version", commandHandle_);
    }
  }
  s_.kernel.sleep(5ms);
  report.assign(report.size(), 0);
  // An answer that stops short of the last field the settings need is a failed read: the zeros the
  // rest reads as are not the unit's settings.
  if (!mayAsk("reading the settings report")) return std::nullopt;
  const auto delivered = s_.hid.getFeature(commandHandle_, report);
  if (!delivered) {
    failed("reading the settings report", commandHandle_);
    return std::nullopt;
  }
  if (*delivered < static_cast<std::size_t>(kMinimumFeatureReportLength)) {
    lastError_ = "reading the settings report: the unit answered with " + std::to_string(*delivered) +
                 " bytes, fewer than the " + std::to_string(kMinimumFeatureReportLength) + " the settings need";
    return std::nullopt;
  }
  return decodeSettingsReport(report);
}

bool UnitSession::send(std::span<const std::uint8_t> frame) {
  if (!connected_) {
    lastError_ = "no unit is open";
    return false;
  }
  if (!usable() || frame.size() != frameLength()) {
    lastError_ = "the unit's feature report of " + std::to_string(unit_.featureReportLength) +
                 " bytes cannot carry the command";
    return false;
  }
  if (!mayAsk("sending a command")) return false;
  if (s_.hid.setFeature(commandHandle_, frame)) return true;
  failed("sending a command", commandHandle_);
  return false;
}

namespace {
bool sendIf(UnitSession& session, const std::optional<Frame>& frame) {
  if (frame) return session.send(*frame);
  session.setLastError("the command does not fit the unit's feature report");
  return false;
}
}  // namespace

bool UnitSession::setOutputEnabled(bool enabled) { return sendIf(*this, outputEnableFrame(enabled, frameLength())); }

bool UnitSession::setDriveStrength(std::uint8_t index) { return sendIf(*this, driveStrengthFrame(index, frameLength())); }

bool UnitSession::setBlink(bool on) { return sendIf(*this, blinkFrame(on, frameLength())); }

bool UnitSession::writeRegister(std::uint8_t reg, std::uint8_t data) {
  return sendIf(*this, registerWriteFrame(reg, data, frameLength()));
}

bool UnitSession::sendSettings(const numbers::Dividers& d) { return sendIf(*this, settingsFrame(d, frameLength())); }

bool UnitSession::sendClockDrift(std::int32_t drift) {
  return sendIf(*this, clockDriftFrame(clampDrift(drift), frameLength()));
}

bool UnitSession::sendSerialNumber(const SerialNumberPlan& plan) {
  return sendIf(*this, serialNumberFrame(plan, frameLength()));
}

bool UnitSession::setReceiverMessageRate(std::uint8_t messageClass, std::uint8_t messageId, std::uint8_t rate) {
  return sendIf(*this, receiverRateFrame(messageClass, messageId, rate, frameLength()));
}

bool UnitSession::pollReceiver(std::uint8_t messageClass, std::uint8_t messageId) {
  return sendIf(*this, receiverPollFrame(messageClass, messageId, frameLength()));
}

platform::InputReadResult UnitSession::readInput(std::span<std::uint8_t> buffer,
                                                 std::chrono::milliseconds firstReportTimeout) {
  if (!connected_) return {};
  const platform::InputReadResult read = s_.hid.readInputReports(commandHandle_, buffer, firstReportTimeout);
  if (!read.ok) failed("reading input reports", commandHandle_);
  return read;
}

}  // namespace tamrik::core

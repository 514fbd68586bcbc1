#include "app/tamrikctl/bridge_unit_source.h"

#include "core/protocol.h"

namespace tamrik::ctl {

BridgeUnitSource::BridgeUnitSource(platform::DeviceBackend& devices, std::optional<std::string> serial)
    : kernel_(devices, noClock_), unit_(core::UnitServices{devices, devices, kernel_}), serial_(std::move(serial)) {}

BridgeUnitSource::~BridgeUnitSource() { unit_.close(); }

SourceOpen BridgeUnitSource::open() {
  switch (unit_.open(serial_)) {
    case core::OpenOutcome::Opened:
      break;
    case core::OpenOutcome::SeveralUnits: {
      std::string serials;
      for (const core::UnitEntry& u : unit_.session().listUnits()) serials += (serials.empty() ? "" : ", ") + u.serial;
      return {SourceFailure::NoUnit, "several units are attached (" + serials + "); choose one with --unit"};
    }
    case core::OpenOutcome::NoUnit:
    case core::OpenOutcome::NotFound:
      return {SourceFailure::NoUnit, serial_ ? "no unit with serial " + *serial_ + " is attached" : "no unit is attached"};
  }
  const core::OpenUnit& u = unit_.session().unit();
  const std::string serial = u.serial;
  if (u.featureReportLength == 0 && u.inputReportLength == 0) {
    unit_.close();
    return {SourceFailure::NoAnswer, "unit " + serial + " did not answer"};
  }
  if (!unit_.session().usable() || u.inputReportLength <= static_cast<int>(core::kReportHeader)) {
    const int feature = u.featureReportLength, input = u.inputReportLength;
    unit_.close();
    return {SourceFailure::NoAnswer, "unit " + serial + " cannot be used: feature report of " + std::to_string(feature) +
                                         " bytes, input report of " + std::to_string(input)};
  }
  serial_ = serial;
  // As the window: the fast rates for firmware 1.20 when its version could be read with the
  // manufacturer's name, the slow ones otherwise.
  if (!unit_.setNavMessageRates()) {
    unit_.close();
    return {SourceFailure::NoAnswer, "unit " + serial + " did not take the command that switches its receiver messages on"};
  }
  lastHeard_ = std::chrono::steady_clock::now();
  return {};
}

void BridgeUnitSource::onReceiverBytes(std::span<const std::uint8_t> bytes) {
  if (out_) out_->insert(out_->end(), bytes.begin(), bytes.end());
}

bool BridgeUnitSource::read(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds timeout) {
  if (!opened()) return false;
  const std::size_t before = bytes.size();
  out_ = &bytes;
  const core::ReadOutcome outcome = unit_.readReceiver(stream_, timeout);
  out_ = nullptr;
  if (outcome == core::ReadOutcome::Lost) return false;  // the unit has been closed
  const auto now = std::chrono::steady_clock::now();
  if (bytes.size() > before) {
    lastHeard_ = now;
  } else if (now - lastHeard_ > kQuietLimit) {
    // A failed command here is not a loss; the next read tells whether the unit is still there.
    (void)unit_.setNavMessageRates();
    lastHeard_ = now;
  }
  return true;
}

}  // namespace tamrik::ctl

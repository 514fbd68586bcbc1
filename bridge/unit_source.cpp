#include "bridge/unit_source.h"

namespace tamrik::bridge {

UnitSource::UnitSource(platform::DeviceBackend& devices, std::optional<std::string> serial,
                                   bool leapAnnouncements)
    : kernel_(devices, noClock_),
      unit_(core::UnitServices{devices, devices, kernel_}),
      serial_(std::move(serial)),
      leapAnnouncements_(leapAnnouncements) {}

bool UnitSource::switchMessagesOn() {
  if (!unit_.setNavMessageRates()) return false;
  if (leapAnnouncements_) (void)unit_.setReceiverMessageRate(core::kClassNav, core::kIdNavTimeLs, kLeapRate);
  return true;
}

base::Result<void> UnitSource::open() {
  unit_.close();
  switch (unit_.open(serial_)) {
    case core::OpenOutcome::Opened:
      break;
    case core::OpenOutcome::NoUnit:
      return base::fail(base::FailureKind::NoUnit, serial_ ? "no unit with serial " + *serial_ + " is attached" : "no unit is attached");
    case core::OpenOutcome::NotFound:
      return base::fail(base::FailureKind::NoUnit, "no unit with serial " + serial_.value_or("") + " is attached");
    case core::OpenOutcome::SeveralUnits: {
      std::string serials;
      for (const core::UnitEntry& u : unit_.units().units) serials += (serials.empty() ? "" : ", ") + u.serial;
      // listUnits leaves the session closed, as the unit chosen is none of them.
      return base::fail(base::FailureKind::NoUnit, "several units are attached (" + serials + "); choose one with --unit");
    }
    case core::OpenOutcome::SameSerial:
      return base::fail(base::FailureKind::NoUnit, "several attached units carry the serial " + serial_.value_or(""));
    case core::OpenOutcome::Unopened:
      return base::fail(base::FailureKind::NoUnit, core::unopenedText(unit_.unopened().front()));
  }
  if (!serial_) serial_ = unit_.identity().strings.serial;
  const std::string name = serial_.value_or("(unnamed)");
  const core::OpenUnit& open = unit_.openUnit();
  if (!unit_.usable() || open.inputReportLength <= static_cast<int>(core::kReportHeader)) {
    unit_.close();
    return base::fail(base::FailureKind::UnitFailed, "unit " + name + " cannot be used: feature report of " +
                                         std::to_string(open.featureReportLength) + " bytes, input report of " +
                                         std::to_string(open.inputReportLength));
  }
  if (!switchMessagesOn()) {
    unit_.close();
    return base::fail(base::FailureKind::UnitFailed, "unit " + name + " did not take the command that switches its receiver messages on: " +
                                         unit_.lastError());
  }
  keeper_.switchedOn(std::chrono::steady_clock::now());
  return {};
}

bool UnitSource::passPoll(std::uint8_t messageClass, std::uint8_t messageId) {
  return opened() && unit_.pollReceiver(messageClass, messageId);
}

bool UnitSource::read(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds timeout) {
  if (!opened()) return false;
  const std::size_t before = bytes.size();
  sink_.out = &bytes;
  const core::ReadOutcome outcome = unit_.readReceiver(stream_, timeout);
  sink_.out = nullptr;
  if (outcome == core::ReadOutcome::Lost) {
    unit_.close();
    return false;
  }
  keeper_.afterRead(bytes.size() > before, std::chrono::steady_clock::now());
  return true;
}

}  // namespace tamrik::bridge

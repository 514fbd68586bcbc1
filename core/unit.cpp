#include "core/unit.h"

#include <algorithm>

#include "core/unit_session.h"

namespace tamrik::core {

Unit::Unit(UnitServices services) : session_(std::make_unique<UnitSession>(services)) {}

Unit::~Unit() { close(); }

void Unit::close() { session_->close(); }
bool Unit::isOpen() const { return session_->connected(); }
bool Unit::usable() const { return session_->usable(); }
std::uint64_t Unit::epoch() const { return session_->epoch(); }
const OpenUnit& Unit::openUnit() const { return session_->unit(); }
const std::string& Unit::lastError() const { return session_->lastError(); }
bool Unit::leftUnanswered() const { return session_->leftUnanswered(); }

UnitList Unit::units() {
  UnitList list = session_->listUnits();
  unopened_ = list.unopened;
  return list;
}

UnitIdentity Unit::identity() {
  const OpenUnit& u = session_->unit();
  UnitIdentity id;
  id.strings = session_->readStrings();
  id.serial = id.strings.serial.value_or("");
  id.manufacturer = id.strings.manufacturer.value_or("");
  id.product = id.strings.product.value_or("");
  id.firmwareVersion = u.firmwareVersion;
  id.firmware = firmwareText(u.firmwareVersion);
  id.versionKnown = id.strings.manufacturer.has_value();
  id.usable = session_->usable();
  id.featureReportLength = u.featureReportLength;
  id.inputReportLength = u.inputReportLength;
  versionKnown_ = id.versionKnown;
  return id;
}

std::vector<UnitIdentity> Unit::list() {
  session_->close();
  std::vector<UnitIdentity> out;
  for (const UnitEntry& entry : units().units) {
    if (!session_->open(entry.serial)) continue;
    UnitIdentity id = identity();
    id.serial = entry.serial;  // the serial it is listed and chosen by
    out.push_back(std::move(id));
    session_->close();
  }
  versionKnown_.reset();
  return out;
}

bool Unit::openFirst(std::string_view serial) {
  versionKnown_.reset();
  return session_->open(serial);
}

OpenOutcome Unit::open(std::optional<std::string_view> serial) {
  session_->close();
  versionKnown_.reset();
  const UnitList list = units();
  if (serial) {
    const auto carrying = std::count_if(list.units.begin(), list.units.end(),
                                        [&](const UnitEntry& u) { return u.serial == *serial; });
    if (carrying > 1) return OpenOutcome::SameSerial;
    if (carrying == 1 && session_->open(*serial)) return OpenOutcome::Opened;
    if (std::any_of(unopened_.begin(), unopened_.end(), [&](const UnopenedUnit& u) { return u.serial == *serial; }))
      return OpenOutcome::Unopened;
    if (list.units.empty()) return unopened_.empty() ? OpenOutcome::NoUnit : OpenOutcome::Unopened;
    return OpenOutcome::NotFound;
  }
  if (list.units.empty()) return unopened_.empty() ? OpenOutcome::NoUnit : OpenOutcome::Unopened;
  if (list.units.size() > 1) return OpenOutcome::SeveralUnits;
  // Gone between the listing and the opening: as if it had never been there.
  return session_->open(list.units.front().serial) ? OpenOutcome::Opened : OpenOutcome::NoUnit;
}

UnitReadback Unit::readback() {
  UnitReadback r;
  if (!session_->connected()) return r;
  session_->beginAction();
  r.identity = identity();
  r.settings = session_->readSettings();
  r.rates = navMessageRates(r.identity.versionKnown ? std::optional(r.identity.firmwareVersion) : std::nullopt);
  return r;
}

// Each action starts afresh: a unit that left a request of an earlier action unanswered is asked
// again.
bool Unit::setOutputEnabled(bool enabled) {
  session_->beginAction();
  return session_->setOutputEnabled(enabled);
}
bool Unit::setDriveStrength(std::uint8_t index) {
  session_->beginAction();
  return session_->setDriveStrength(index);
}
bool Unit::setBlink(bool on) {
  session_->beginAction();
  return session_->setBlink(on);
}
bool Unit::writeRegister(std::uint8_t reg, std::uint8_t data) {
  session_->beginAction();
  return session_->writeRegister(reg, data);
}
bool Unit::sendClockDrift(std::int32_t drift) {
  session_->beginAction();
  return session_->sendClockDrift(drift);
}
bool Unit::setReceiverMessageRate(std::uint8_t messageClass, std::uint8_t messageId, std::uint8_t rate) {
  session_->beginAction();
  return session_->setReceiverMessageRate(messageClass, messageId, rate);
}
bool Unit::pollReceiver(std::uint8_t messageClass, std::uint8_t messageId) {
  session_->beginAction();
  return session_->pollReceiver(messageClass, messageId);
}

ProgramOutcome Unit::programSettings(const numbers::Dividers& d, const std::function<bool()>& afterFrame) {
  session_->beginAction();
  const std::optional<Frame> frame = settingsFrame(d, session_->frameLength());
  if (!frame) {
    session_->setLastError("the divider set does not fit the unit's feature report");
    return ProgramOutcome::Unsendable;
  }
  // The same frame twice, back to back.
  bool taken = false;
  for (int send = 0; send < 2; ++send) {
    taken = session_->send(*frame) || taken;
    if (afterFrame && !afterFrame() && send == 0) return ProgramOutcome::Stopped;
  }
  return taken ? ProgramOutcome::Taken : ProgramOutcome::NotTaken;
}

Unit::SerialResult Unit::setSerialNumber(std::string_view text) {
  const SerialNumberCheck check = planSerialNumber(text);
  if (!check.plan) return {check.problem, false, {}};
  // Two units under one serial cannot be told apart: a serial another attached unit carries is
  // refused. The open unit itself may be given its own serial again.
  const std::string openPath = session_->unit().path;
  for (const UnitEntry& u : session_->listUnits().units) {
    if (u.path != openPath && u.serial == text) {
      return {"Another attached unit already has the serial number " + u.serial + ".", false, {}};
    }
  }
  session_->beginAction();
  SerialResult r{{}, session_->sendSerialNumber(*check.plan), check.plan->next};
  session_->close();
  return r;
}

bool Unit::setMessageRates(std::span<const MessageRate> rates) {
  session_->beginAction();
  bool all = true;
  for (const MessageRate& m : rates) all = session_->setReceiverMessageRate(m.messageClass, m.messageId, m.rate) && all;
  return all;
}

bool Unit::setNavMessageRates() {
  if (!session_->usable()) return false;
  if (!versionKnown_) identity();
  const std::uint16_t version = session_->unit().firmwareVersion;
  return setMessageRates(navMessageRates(*versionKnown_ ? std::optional(version) : std::nullopt));
}

bool Unit::stopNavMessages() { return setMessageRates(navMessagesOff()); }

ReadOutcome Unit::readReceiver(ReceiverStream& stream, std::chrono::milliseconds firstReportTimeout) {
  if (!session_->connected()) return ReadOutcome::Lost;
  // Room for a second of reports at the unit's cadence, as whole reports.
  constexpr std::size_t kReadBytes = 34000;
  buffer_.resize(kReadBytes);
  const platform::InputReadResult read = session_->readInput(buffer_, firstReportTimeout);
  if (!read.ok) {
    session_->close();
    return ReadOutcome::Lost;
  }
  const std::size_t n = std::min(read.bytes, buffer_.size());
  const int length = session_->unit().inputReportLength;
  if (wholeReports(n, length) == 0) return ReadOutcome::Silent;
  return stream.feedInputReports(std::span<const std::uint8_t>(buffer_).first(n), length) ? ReadOutcome::Reports
                                                                                          : ReadOutcome::Stopped;
}

std::string unopenedText(const UnopenedUnit& u) {
  const std::string name = u.serial.empty() ? "a unit at " + u.path : "unit " + u.serial;
  const platform::OpenFailure& f = u.failure;
  const std::string words = f.text.empty() ? std::string() : " (" + f.text + ")";
  switch (f.kind) {
    case platform::OpenFailure::Kind::Busy:
      return name + " is attached but busy: another program holds it" +
             (f.holders.empty() ? words : " (" + f.holders + ")");
    case platform::OpenFailure::Kind::NotPermitted:
      return name + " is attached but may not be opened by this user" + words;
    default:
      return name + " is attached but could not be opened" + words;
  }
}

}  // namespace tamrik::core

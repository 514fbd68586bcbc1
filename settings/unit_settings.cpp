#include "settings/unit_settings.h"


#include "ui/number_text.h"

namespace tamrik::settings {

namespace {

constexpr std::uint8_t kCommandOutputEnable = 1;
constexpr std::uint8_t kCommandBlink = 2;
constexpr std::uint8_t kCommandDriveStrength = 3;
constexpr std::uint8_t kCommandRegisterWrite = 5;
constexpr std::uint8_t kCommandSerialNumber = 0x53;  // 'S'
constexpr std::uint8_t kSerialNumberMark = 0x4E;      // 'N'
constexpr int kPollIntervalWhileClosed = 250;

// The first character of a UTF-8 text as one byte of the 8-bit character set the unit stores
// (Latin-1), and how many bytes of the text it took. Nothing for a character outside that set,
// for control characters and blanks.
std::optional<std::pair<std::uint8_t, std::size_t>> firstCharacterByte(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const auto b0 = static_cast<unsigned char>(text[0]);
  unsigned code = 0;
  std::size_t used = 0;
  if (b0 < 0x80) {
    code = b0;
    used = 1;
  } else if ((b0 & 0xE0) == 0xC0 && text.size() >= 2 && (static_cast<unsigned char>(text[1]) & 0xC0) == 0x80) {
    code = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(text[1]) & 0x3Fu);
    used = 2;
  } else {
    return std::nullopt;
  }
  const bool printable = (code > 0x20 && code < 0x7F) || (code > 0xA0 && code <= 0xFF);
  if (!printable) return std::nullopt;
  return std::make_pair(static_cast<std::uint8_t>(code), used);
}

}  // namespace

SerialNumberCheck planSerialNumber(std::string_view text) {
  const auto first = firstCharacterByte(text);
  if (!first) {
    return {std::nullopt, text.empty() ? "Type a serial number of six characters, for example Q00001."
                                       : "The first character of the serial number must be a single letter, digit "
                                         "or sign (one byte), for example Q00001."};
  }
  const std::string_view rest = text.substr(first->second);
  if (rest.size() < 5) return {std::nullopt, "The serial number must have six characters, for example Q00001."};
  // A unit keeps six characters only: a longer text would program a serial that was given out
  // before (Q100000 as Q10000), and two units with one serial cannot be told apart.
  if (rest.size() > 5) {
    const bool numberRanPast = rest.find_first_not_of("0123456789") == std::string_view::npos;
    return {std::nullopt, numberRanPast
                              ? "The number part of the serial number has run past 99999, and a unit keeps only six "
                                "characters. Start a new series with another first character, for example R00001."
                              : "The serial number has more than six characters; it must have exactly six, for "
                                "example Q00001."};
  }
  SerialNumberPlan plan;
  plan.bytes[0] = first->first;
  int number = 0;
  for (std::size_t i = 0; i < 5; ++i) {
    const char c = rest[i];
    if (c < '0' || c > '9') {
      return {std::nullopt, "Characters 2 to 6 of the serial number must be digits, for example Q00001."};
    }
    plan.bytes[i + 1] = static_cast<std::uint8_t>(c);
    number = number * 10 + (c - '0');
  }
  // At least five digits with leading zeros; 99999 + 1 keeps all six, which the next click refuses.
  std::string digits = std::to_string(number + 1);
  if (digits.size() < 5) digits.insert(0, 5 - digits.size(), '0');
  plan.next = std::string(text.substr(0, first->second)) + digits;
  return {plan, {}};
}

UnitSettings::UnitSettings(WindowState& state, device::DeviceLink& link) : s_(state), link_(link) {}

bool UnitSettings::mayCommand() const { return s_.link.Connected && s_.flags.SettingsLoaded; }

void UnitSettings::sendValue(std::uint8_t command, std::uint8_t value) {
  auto frame = link_.CommandFrame(command);
  if (frame.size() < 3) return;
  frame[2] = value;
  link_.SendFrame(frame);
}

void UnitSettings::showError(const std::string& title, const std::string& text) {
  s_.platform.toolkit.messageBox(
      platform::MessageBoxRequest{platform::MessageIcon::Critical, platform::MessageButtons::Ok, title, text});
}

void UnitSettings::OUT1ENClick() {
  if (!mayCommand()) return;
  sendValue(kCommandOutputEnable, s_.model.at("OUT1EN").checked ? 3 : 0);
}

void UnitSettings::Enc1Click() {
  if (!mayCommand() || !s_.flags.ScanDone) return;
  const int index = s_.model.at("Enc1").selected;
  if (index < 0) return;  // no entry chosen
  sendValue(kCommandDriveStrength, static_cast<std::uint8_t>(index & 0xFF));
}

void UnitSettings::OUT1IDClick() {
  if (!mayCommand()) return;
  const bool start = !s_.flags.BlinkOn;
  s_.flags.BlinkOn = start;
  sendValue(kCommandBlink, start ? 1 : 0);
}

void UnitSettings::WriteRegisterClick() {
  if (!mayCommand()) return;
  const auto& m = s_.model;
  const auto reg = ui::parseWholeNumber(m.at("REG").text, s_.numberFormat, 0, 255);
  const auto data = ui::parseWholeNumber(m.at("DATA").text, s_.numberFormat, 0, 255);
  if (!reg || !data) {
    showError("Register write", std::string(!reg ? "REG" : "DATA") +
                                    " must be a whole number from 0 to 255. Nothing was sent to the unit.");
    return;
  }
  auto frame = link_.CommandFrame(kCommandRegisterWrite);
  if (frame.size() < 4) return;
  frame[2] = static_cast<std::uint8_t>(*reg);
  frame[3] = static_cast<std::uint8_t>(*data);
  link_.SendFrame(frame);
}

void UnitSettings::SetSNClick() {
  // Serial programming needs an open unit, not its settings. A unit whose feature report cannot
  // carry a command frame is not commanded at all.
  if (!link_.UnitUsable()) return;
  auto& m = s_.model;
  const SerialNumberCheck check = planSerialNumber(m.at("SN").text);
  if (!check.plan) {
    showError("Set S/N", check.problem + " Nothing was sent to the unit.");
    return;
  }
  auto frame = link_.CommandFrame(kCommandSerialNumber);
  frame[2] = kSerialNumberMark;
  std::copy(check.plan->bytes.begin(), check.plan->bytes.end(), frame.begin() + 3);
  link_.SendFrame(frame);

  // Whatever the send gave: the next serial ready, the unit closed so that the poll finds it again
  // under the serial it now reports.
  m.setText("SN", check.plan->next);
  link_.CloseUnit();
  m.setInterval("Timer", kPollIntervalWhileClosed);
  s_.flags.SettingsLoaded = false;
}

}  // namespace tamrik::settings

#include "core/protocol.h"

#include <algorithm>
#include <utility>

#include "core/ubx.h"

namespace tamrik::core {

namespace {

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

// A command frame with room for `payload` bytes from byte 2, or nothing.
std::optional<Frame> frameFor(Command code, std::size_t length, std::size_t payload) {
  if (length < 2 + payload) return std::nullopt;
  return commandFrame(code, length);
}

std::optional<Frame> valueFrame(Command code, std::uint8_t value, std::size_t length) {
  auto frame = frameFor(code, length, 1);
  if (frame) (*frame)[2] = value;
  return frame;
}

std::int32_t le24(std::span<const std::uint8_t> r, std::size_t at) {
  return static_cast<std::int32_t>(r[at] | (r[at + 1] << 8) | (r[at + 2] << 16));
}

void put24(SettingsBlock& block, std::size_t at, std::int64_t v) {
  const auto u = static_cast<std::uint64_t>(v);
  block[at] = static_cast<std::uint8_t>(u & 0xFF);
  block[at + 1] = static_cast<std::uint8_t>((u >> 8) & 0xFF);
  block[at + 2] = static_cast<std::uint8_t>((u >> 16) & 0xFF);
}

std::uint8_t low8(std::int64_t v) { return static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) & 0xFF); }

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

std::string deviceText(const std::u16string& units) {
  std::string bytes;
  for (const char16_t unit : units) {
    const auto low = static_cast<char>(unit & 0xFF);
    if (low == 0 || bytes.size() == kStringRequestBytes / 2) break;
    bytes += low;
  }
  return latin1ToUtf8(bytes);
}

std::string firmwareText(std::uint16_t version) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const unsigned minor = version & 0xFF;
  std::string text = std::to_string(version >> 8) + ".";
  if (minor >= 16) text += kHex[minor >> 4];
  text += kHex[minor & 0xF];
  return text;
}

Frame commandFrame(Command code, std::size_t length) {
  Frame frame(length, 0);
  if (frame.size() > 1) frame[1] = static_cast<std::uint8_t>(code);
  return frame;
}

std::optional<Frame> outputEnableFrame(bool enabled, std::size_t length) {
  return valueFrame(Command::OutputEnable, enabled ? 3 : 0, length);
}

std::optional<Frame> blinkFrame(bool on, std::size_t length) { return valueFrame(Command::Blink, on ? 1 : 0, length); }

std::optional<Frame> driveStrengthFrame(std::uint8_t index, std::size_t length) {
  return valueFrame(Command::DriveStrength, index, length);
}

std::optional<Frame> registerWriteFrame(std::uint8_t reg, std::uint8_t data, std::size_t length) {
  auto frame = frameFor(Command::RegisterWrite, length, 2);
  if (!frame) return frame;
  (*frame)[2] = reg;
  (*frame)[3] = data;
  return frame;
}

std::optional<Frame> settingsFrame(const numbers::Dividers& d, std::size_t length) {
  const auto block = encodeSettingsBlock(d);
  auto frame = frameFor(Command::SynthSettings, length, kSettingsBlockSize);
  if (!block || !frame) return std::nullopt;
  std::copy(block->begin(), block->end(), frame->begin() + 2);
  return frame;
}

std::optional<Frame> queryFrame(std::uint8_t what, std::size_t length) { return valueFrame(Command::Query, what, length); }

std::optional<Frame> clockDriftFrame(std::int32_t clampedDrift, std::size_t length) {
  auto frame = frameFor(Command::ClockDrift, length, 2);
  if (!frame) return frame;
  const auto bytes = encodeDrift(clampedDrift);
  (*frame)[2] = bytes[0];
  (*frame)[3] = bytes[1];
  return frame;
}

std::optional<Frame> receiverRateFrame(std::uint8_t messageClass, std::uint8_t messageId, std::uint8_t rate,
                                       std::size_t length) {
  // UBX class, id, payload length (8, little-endian), then the message and the rates of six ports.
  auto frame = frameFor(Command::ReceiverPassThrough, length, 12);
  if (!frame) return frame;
  auto& f = *frame;
  f[2] = kClassCfg;
  f[3] = kIdCfgMsg;
  f[4] = 8;
  f[5] = 0;
  f[6] = messageClass;
  f[7] = messageId;
  f[8] = rate;
  return frame;
}

std::optional<Frame> receiverPollFrame(std::uint8_t messageClass, std::uint8_t messageId, std::size_t length) {
  // UBX class, id and a payload length of 0; the unit adds the sync bytes and the checksum.
  auto frame = frameFor(Command::ReceiverPassThrough, length, 4);
  if (!frame) return frame;
  (*frame)[2] = messageClass;
  (*frame)[3] = messageId;
  return frame;
}

std::optional<std::uint8_t> driveIndexOf(std::string_view text) {
  for (std::size_t i = 0; i < kDriveStrengths.size(); ++i) {
    if (text == kDriveStrengths[i]) return static_cast<std::uint8_t>(i);
  }
  return std::nullopt;
}

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
  // before (Q100000 as Q10000), and two units with one serial cannot be told apart. The text is
  // UTF-8, so a number part that is not five digits is told as such below, whatever its length.
  if (rest.size() > 5 && rest.substr(0, 5).find_first_not_of("0123456789") == std::string_view::npos) {
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
  // At least five digits with leading zeros; 99999 + 1 keeps all six, which the next plan refuses.
  std::string digits = std::to_string(number + 1);
  if (digits.size() < 5) digits.insert(0, 5 - digits.size(), '0');
  plan.next = std::string(text.substr(0, first->second)) + digits;
  return {plan, {}};
}

std::optional<Frame> serialNumberFrame(const SerialNumberPlan& plan, std::size_t length) {
  auto frame = frameFor(Command::SerialNumber, length, 1 + plan.bytes.size());
  if (!frame) return frame;
  (*frame)[2] = 'N';
  std::copy(plan.bytes.begin(), plan.bytes.end(), frame->begin() + 3);
  return frame;
}

std::optional<SettingsReport> decodeSettingsReport(std::span<const std::uint8_t> r) {
  if (r.size() < static_cast<std::size_t>(kMinimumFeatureReportLength)) return std::nullopt;
  SettingsReport out;
  out.outputEnabled = (r[1] & 0x01) != 0;
  out.driveIndex = r[2] > 3 ? 3 : r[2];
  out.dividers = decodeSettingsBlock(r.subspan<3, kSettingsBlockSize>());
  return out;
}

std::optional<SettingsBlock> encodeSettingsBlock(const numbers::Dividers& d) {
  if (d.bw < 0 || d.bw > 255) return std::nullopt;
  SettingsBlock block{};
  put24(block, 0, d.gps);
  put24(block, 3, std::int64_t{d.n31} - 1);
  block[6] = low8(std::int64_t{d.n2_hs} - 4);
  put24(block, 7, std::int64_t{d.n2_ls} - 1);
  block[10] = low8(std::int64_t{d.n1_hs} - 4);
  put24(block, 11, std::int64_t{d.nc1_ls} - 1);
  put24(block, 14, std::int64_t{d.nc2_ls} - 1);
  block[17] = 0;
  block[18] = low8(d.bw);
  return block;
}

numbers::Dividers decodeSettingsBlock(std::span<const std::uint8_t, kSettingsBlockSize> b) {
  numbers::Dividers d;
  d.gps = le24(b, 0);
  d.n31 = le24(b, 3) + 1;
  d.n2_hs = b[6] + 4;
  d.n2_ls = le24(b, 7) + 1;
  d.n1_hs = b[10] + 4;
  d.nc1_ls = le24(b, 11) + 1;
  d.nc2_ls = le24(b, 14) + 1;
  d.bw = b[18];
  return d;
}

std::int32_t clampDrift(std::int32_t drift) { return std::clamp(drift, -7500, 7500); }

std::array<std::uint8_t, 2> encodeDrift(std::int32_t clampedDrift) {
  const auto v = static_cast<std::uint16_t>(clampedDrift < 0 ? clampedDrift + 65536 : clampedDrift);
  return {static_cast<std::uint8_t>(v % 256), static_cast<std::uint8_t>(v / 256)};
}

std::optional<InputStatus> inputStatus(std::span<const std::uint8_t> report) {
  if (report.size() < kReportHeader) return std::nullopt;
  return InputStatus{report[1], (report[2] & kNoGpsSignal) == 0, (report[2] & kNoPllLock) == 0};
}

std::size_t wholeReports(std::size_t n, int reportLength) {
  if (reportLength < static_cast<int>(kReportHeader)) return 0;
  return n / static_cast<std::size_t>(reportLength);
}

std::span<const std::uint8_t> receiverBytes(std::span<const std::uint8_t> report) {
  if (report.size() < kReportHeader || (report[2] & kCarriesReceiverBytes) == 0) return {};
  return report.subspan(kReportHeader);
}

std::array<MessageRate, 3> navMessageRates(std::optional<std::uint16_t> firmware) {
  const bool fast = firmware == kFirmwareWithFastRates;
  return {{{kClassNav, kIdNavSvInfo, static_cast<std::uint8_t>(fast ? 2 : 20)},
           {kClassNav, kIdNavClock, static_cast<std::uint8_t>(fast ? 2 : 20)},
           {kClassNav, kIdNavPvt, static_cast<std::uint8_t>(fast ? 1 : 10)}}};
}

std::array<MessageRate, 3> navMessagesOff() {
  return {{{kClassNav, kIdNavSvInfo, 0}, {kClassNav, kIdNavClock, 0}, {kClassNav, kIdNavPvt, 0}}};
}

}  // namespace tamrik::core

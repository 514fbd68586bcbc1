#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "core/protocol.h"

namespace tamrik::fuzz {

namespace {
constexpr const char* kUnitPath = "/dev/hidraw-fuzz";
}

void fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::fflush(stderr);
  std::abort();
}

std::span<const std::uint8_t> FuzzInput::take(std::size_t n) {
  const std::size_t got = std::min(n, bytes_.size() - std::min(pos_, bytes_.size()));
  const auto out = bytes_.subspan(std::min(pos_, bytes_.size()), got);
  pos_ += got;
  return out;
}

std::string FuzzInput::text() {
  std::string out;
  while (!empty()) {
    const std::uint8_t b = byte();
    if (b == 0) break;
    out += static_cast<char>(b);
  }
  return out;
}

// ---- FakeUnit ----

std::vector<std::vector<std::uint8_t>> FakeUnit::sentWithCommand(std::uint8_t code) const {
  std::vector<std::vector<std::uint8_t>> out;
  for (const auto& f : sent) {
    if (f.size() > 1 && f[1] == code) out.push_back(f);
  }
  return out;
}

std::size_t FakeUnit::expectedFrameLength() const {
  if (!caps) return 0;
  return static_cast<std::size_t>(std::clamp(caps->featureReportLength, 0, 32767));
}

bool FakeUnit::isOpen(platform::DeviceHandle h) const {
  return std::find(handles_.begin(), handles_.end(), h) != handles_.end();
}

std::vector<platform::HidInterface> FakeUnit::hidInterfaces() {
  if (!present) return {};
  // The list names no IDs: the window learns them from the attributes, which the target chooses.
  return {platform::HidInterface{kUnitPath, false, 0, 0, {}}};
}

platform::DeviceHandle FakeUnit::open(const std::string& path, platform::OpenMode) {
  if (!present || path != kUnitPath) return platform::kInvalidHandle;
  handles_.push_back(next_);
  ++openHandles;
  return next_++;
}

bool FakeUnit::close(platform::DeviceHandle handle) {
  auto it = std::find(handles_.begin(), handles_.end(), handle);
  if (it == handles_.end()) return false;
  handles_.erase(it);
  --openHandles;
  return true;
}

std::optional<platform::HidAttributes> FakeUnit::attributes(platform::DeviceHandle device) {
  if (!isOpen(device) || !present) return std::nullopt;
  return attributesAnswer;
}

std::optional<std::u16string> FakeUnit::string(platform::DeviceHandle device, platform::HidString which,
                                               std::size_t maxBytes) {
  if (!isOpen(device)) return std::nullopt;
  std::optional<std::u16string> s;
  switch (which) {
    case platform::HidString::Manufacturer: s = manufacturer; break;
    case platform::HidString::Product: s = product; break;
    case platform::HidString::SerialNumber: s = serial; break;
  }
  if (s) {
    const auto zero = s->find(u'\0');
    if (zero != std::u16string::npos) s->resize(zero);
    if (s->size() > maxBytes / 2) s->resize(maxBytes / 2);
  }
  return s;
}

std::optional<platform::HidCapabilities> FakeUnit::capabilities(platform::DeviceHandle device) {
  if (!isOpen(device)) return std::nullopt;
  return caps;
}

bool FakeUnit::setFeature(platform::DeviceHandle device, std::span<const std::uint8_t> report) {
  FUZZ_CHECK(isOpen(device));
  FUZZ_CHECK(report.size() == expectedFrameLength());
  FUZZ_CHECK(report.size() >= static_cast<std::size_t>(core::kMinimumFeatureReportLength));
  FUZZ_CHECK(report[0] == 0);
  sent.emplace_back(report.begin(), report.end());
  return present;
}

std::optional<std::size_t> FakeUnit::getFeature(platform::DeviceHandle device, std::span<std::uint8_t> report) {
  FUZZ_CHECK(isOpen(device));
  if (!present || !getFeatureOk || report.empty()) return std::nullopt;
  // The answer always fills the whole report, zeros after the data.
  std::fill(report.begin(), report.end(), std::uint8_t{0});
  std::copy_n(settingsReport.begin(), std::min(settingsReport.size(), report.size()), report.begin());
  report[0] = 0;
  return report.size();
}

platform::InputReadResult FakeUnit::readInputReports(platform::DeviceHandle device, std::span<std::uint8_t> buffer,
                                                     std::chrono::milliseconds) {
  FUZZ_CHECK(isOpen(device));
  ++readCount;
  if (!present) return {false, 0};
  if (reader) return reader(buffer);
  if (reads.empty()) return {true, 0};
  Read r = std::move(reads.front());
  reads.pop_front();
  if (!r.ok) return {false, 0};
  const std::size_t n = std::min(r.bytes.size(), buffer.size());
  std::copy_n(r.bytes.begin(), n, buffer.begin());
  return {true, n};
}

// ---- FuzzWindow ----

FuzzWindow::FuzzWindow(ui::NumberFormat format)
    : kernel(unit, clock, [](std::chrono::milliseconds) {}),
      platform{unit, unit, kernel, shell, toolkit},
      frm(platform, std::move(format)) {
  toolkit.onProcessEvents = [this] { frm.timerTick(); };
}

void FuzzWindow::runTicks(int count) {
  for (int i = 0; i < count; ++i) {
    if (frm.model().at("Timer").enabled) frm.timerTick();
  }
}

std::vector<std::uint8_t> reportsCarrying(std::span<const std::uint8_t> stream, std::size_t reportLength,
                                          std::uint8_t status, std::uint8_t lossCount) {
  std::vector<std::uint8_t> out;
  if (reportLength <= 3) return out;
  const std::size_t per = reportLength - 3;
  for (std::size_t at = 0; at < stream.size(); at += per) {
    const std::size_t start = out.size();
    out.resize(start + reportLength, 0);
    out[start + 1] = lossCount;
    out[start + 2] = status;
    const std::size_t n = std::min(per, stream.size() - at);
    std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), n, out.begin() + static_cast<std::ptrdiff_t>(start + 3));
  }
  return out;
}

void checkAssembler(const core::MessageAssembler& a) {
  FUZZ_CHECK(a.state >= 0 && a.state <= 8);
  FUZZ_CHECK(a.payload.size() == core::kPayloadCapacity);
  if (a.state >= 6) {
    FUZZ_CHECK(a.length >= 1 && a.length <= core::kPayloadCapacity);
    FUZZ_CHECK(a.count <= a.length);
  }
  FUZZ_CHECK(a.state != 6 || a.count < a.length);
}

bool sameAssembler(const core::MessageAssembler& a, const core::MessageAssembler& b) {
  return a.state == b.state && a.messageClass == b.messageClass && a.messageId == b.messageId &&
         a.length == b.length && a.count == b.count && a.ckA == b.ckA && a.ckB == b.ckB &&
         std::equal(a.payload.begin(), a.payload.begin() + std::max(a.length, a.count), b.payload.begin());
}

std::int16_t driftIn(const std::vector<std::uint8_t>& frame) {
  return static_cast<std::int16_t>(frame[2] | frame[3] << 8);
}

}  // namespace tamrik::fuzz

#pragma once
// What the fuzz targets share: a reader of the fuzzer's bytes, a Tamrik unit whose every answer
// comes from those bytes, and a main window on that unit without a display.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/frm_main.h"
#include "core/ubx.h"
#include "platform/device_backend.h"
#include "platform/host_kernel.h"
#include "platform/testing/headless_toolkit.h"
#include "platform/testing/recording_services.h"

namespace tamrik::fuzz {

// Ends the run with a message: the fuzzer keeps the input, the corpus replay fails.
[[noreturn]] void fail(const char* condition, const char* file, int line);

#define FUZZ_CHECK(condition) ((condition) ? void(0) : ::tamrik::fuzz::fail(#condition, __FILE__, __LINE__))

// Takes the fuzzer's bytes front to back; once they run out every read gives zeros.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

  bool empty() const { return pos_ >= bytes_.size(); }
  std::uint8_t byte() { return empty() ? 0 : bytes_[pos_++]; }
  std::uint16_t u16() {
    const std::uint8_t lo = byte();
    return static_cast<std::uint16_t>(lo | byte() << 8);
  }
  // Up to n bytes; fewer when the input ends.
  std::span<const std::uint8_t> take(std::size_t n);
  std::span<const std::uint8_t> rest() { return take(bytes_.size()); }
  // Bytes up to the next byte 0 (dropped), or to the end.
  std::string text();

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// One Tamrik unit on one path, answering from what the target puts in. Every feature report is
// recorded, and checked on arrival: sent on an open handle, exactly as long as the feature report
// the unit announced, and never to a unit whose feature report cannot carry the settings report.
class FakeUnit final : public platform::DeviceBackend {
 public:
  struct Read {
    bool ok = true;
    std::vector<std::uint8_t> bytes;  // copied to the caller's buffer, cut at its end
  };

  platform::HidAttributes attributesAnswer{0x1DD2, 0x2211, 0x0120};
  std::optional<platform::HidCapabilities> caps = platform::HidCapabilities{65, 65};
  std::optional<std::u16string> manufacturer = u"Tamrik";
  std::optional<std::u16string> product = u"Tamrik GPS Reference Clock";
  std::optional<std::u16string> serial = u"F00001";
  std::vector<std::uint8_t> settingsReport;  // what a get-feature request returns
  bool getFeatureOk = true;
  bool present = true;  // false: unplugged; not listed, not openable, reads fail
  // Answers to input reads, oldest first; when none is queued a read succeeds with no report.
  std::deque<Read> reads;
  // Replaces the queue when set.
  std::function<platform::InputReadResult(std::span<std::uint8_t>)> reader;

  std::vector<std::vector<std::uint8_t>> sent;
  int openHandles = 0;
  int readCount = 0;

  // Feature reports sent with a command code.
  std::vector<std::vector<std::uint8_t>> sentWithCommand(std::uint8_t code) const;
  // The feature report length the program works with for the announced capabilities.
  std::size_t expectedFrameLength() const;

  std::vector<platform::HidInterface> hidInterfaces() override;
  platform::DeviceHandle open(const std::string& path, platform::OpenMode mode) override;
  bool close(platform::DeviceHandle handle) override;
  std::optional<platform::HidAttributes> attributes(platform::DeviceHandle device) override;
  std::optional<std::u16string> string(platform::DeviceHandle device, platform::HidString which,
                                       std::size_t maxBytes) override;
  std::optional<platform::HidCapabilities> capabilities(platform::DeviceHandle device) override;
  bool setFeature(platform::DeviceHandle device, std::span<const std::uint8_t> report) override;
  std::optional<std::size_t> getFeature(platform::DeviceHandle device, std::span<std::uint8_t> report) override;
  platform::InputReadResult readInputReports(platform::DeviceHandle device, std::span<std::uint8_t> buffer,
                                             std::chrono::milliseconds firstReportTimeout) override;

 private:
  bool isOpen(platform::DeviceHandle h) const;
  std::vector<platform::DeviceHandle> handles_;
  platform::DeviceHandle next_ = 1;
};

// A main window on one fake unit. Pauses take no time; processing pending events runs a timer tick,
// as a real toolkit may while a long message is decoded.
struct FuzzWindow {
  explicit FuzzWindow(ui::NumberFormat format = ui::NumberFormat::point());

  // Timer ticks as the timer fires them (only while it is enabled).
  void runTicks(int count);
  std::string text(const std::string& control) { return frm.model().at(control).text; }

  FakeUnit unit;
  platform::testing::RecordingClock clock;
  platform::testing::RecordingShell shell;
  platform::testing::HeadlessToolkit toolkit;
  platform::HostKernel kernel;
  platform::Platform platform;
  FrmMain frm;
};

// Input reports of length reportLength (ID byte included) carrying the stream, each flagged as
// carrying receiver bytes with the given status; the last one is padded with zeros.
std::vector<std::uint8_t> reportsCarrying(std::span<const std::uint8_t> stream, std::size_t reportLength,
                                          std::uint8_t status = 0x80, std::uint8_t lossCount = 0);

// Checks the assembler's record against its own limits: a known state, a declared length the
// buffer holds, a count that never passes it.
void checkAssembler(const core::MessageAssembler& a);

// True when two assemblers hold the same record: state, fields, checksum and the payload so far.
bool sameAssembler(const core::MessageAssembler& a, const core::MessageAssembler& b);

// The 16-bit drift a command-11 frame carries.
std::int16_t driftIn(const std::vector<std::uint8_t>& frame);

}  // namespace tamrik::fuzz

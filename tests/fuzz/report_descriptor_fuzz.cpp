// HID report descriptors through the parser, and a descriptor that passes as the layout of a unit:
// its lengths become the unit's capabilities and framing, the window reads the unit back and polls
// it through the Linux backend's report collector.
//
// Input: the descriptor.
//
// Checks: a descriptor is either understood or refused with a reason and an offset inside it;
// lengths are 0 or hold the ID byte and data, within what the HID core accepts; a closing
// collection item more is refused; the window never commands a unit whose feature report cannot
// carry the settings report, and sends every frame with the unit's feature report length.
#include "platform/hid/input_reports.h"
#include "platform/hid/report_descriptor.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace tamrik;
using Bytes = std::vector<std::uint8_t>;

void checkLength(int length) {
  FUZZ_CHECK(length == 0 || (length >= 2 && length <= platform::kMaxReportBytes));
}

// Raw reports cut from the descriptor itself, three per read.
void pollWith(fuzz::FuzzWindow& w, const platform::ReportDescriptorInfo& info, std::span<const std::uint8_t> d) {
  const platform::InputFraming framing{static_cast<std::size_t>(info.inputReportLength), info.usesReportIds};
  Bytes scratch(platform::kMaxReportBytes);
  w.unit.reader = [&](std::span<std::uint8_t> buffer) {
    int left = 3;
    const platform::RawReportReader read = [&](std::span<std::uint8_t> into, int) {
      if (left-- == 0) return 0;
      const std::size_t n = std::min(d.size(), into.size());
      std::copy_n(d.begin(), n, into.begin());
      return static_cast<int>(n);
    };
    const auto r = platform::collectInputReports(read, framing, buffer, scratch, std::chrono::milliseconds(20));
    FUZZ_CHECK(r.ok && r.bytes <= buffer.size());
    if (framing.reportLength > 0) FUZZ_CHECK(r.bytes % framing.reportLength == 0);
    return r;
  };
  w.runTicks(3);
  w.unit.reader = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> d(data, size);
  const auto result = platform::parseReportDescriptor(d);
  FUZZ_CHECK(result.info.has_value() == result.error.empty());
  if (!result.info) {
    FUZZ_CHECK(result.errorOffset <= size);
    return 0;
  }
  const auto& info = *result.info;
  checkLength(info.inputReportLength);
  checkLength(info.outputReportLength);
  checkLength(info.featureReportLength);

  Bytes closed(d.begin(), d.end());
  closed.push_back(0xC0);  // End Collection
  FUZZ_CHECK(!platform::parseReportDescriptor(closed).info);

  fuzz::FuzzWindow w;
  w.unit.caps = platform::HidCapabilities{info.inputReportLength, info.featureReportLength};
  w.unit.settingsReport.assign(d.begin(), d.end());
  w.frm.Load();
  FUZZ_CHECK(w.frm.state().link.isOpen());
  FUZZ_CHECK(w.frm.state().link.settingsLoaded() == (info.featureReportLength >= 22));
  pollWith(w, info, d);
  FUZZ_CHECK(w.frm.state().link.isOpen());
  if (info.featureReportLength < 22) FUZZ_CHECK(w.unit.sent.empty());
  return 0;
}

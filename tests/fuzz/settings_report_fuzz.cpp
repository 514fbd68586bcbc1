// The settings report through the readback: decodeSettingsReport on a report of any length, then a
// whole readback (start-up, and a unit choice in SerNo) on a unit that returns the report, then
// the Update action on what the readback wrote.
//
// Input: flags, the firmware version (2 bytes), a feature report length selector, the report.
//   flags bit 0: the user's number format writes a decimal comma
//   flags bit 1: the get-feature request fails
//   flags bit 2: the manufacturer string request fails
//   flags bit 3: the user clicks Update after the readback
//   flags bit 4: the user chooses the unit again in SerNo
//
// Checks: fields stay in the ranges their bytes allow; the boxes show the decoded numbers; the
// output frequency text reads back, in the user's format, as the frequency the boxes give; the
// readback sends only the query and the receiver commands; Update sends the same full block twice,
// inside the synthesizer's ranges, and gives back the unit's own block when it already was in range.
#include <cmath>

#include "core/protocol.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace tamrik;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t le24(const Bytes& f, std::size_t at) {
  return static_cast<std::uint32_t>(f[at] | f[at + 1] << 8 | f[at + 2] << 16);
}

void checkDecoded(const core::SettingsReport& r) {
  FUZZ_CHECK(r.driveIndex >= 0 && r.driveIndex <= 3);
  const auto& s = r.dividers;
  FUZZ_CHECK(s.gps >= 0 && s.gps < (1 << 24));
  for (std::int32_t v : {s.n31, s.n2_ls, s.nc1_ls, s.nc2_ls}) FUZZ_CHECK(v >= 1 && v <= (1 << 24));
  for (std::int32_t v : {s.n2_hs, s.n1_hs}) FUZZ_CHECK(v >= 4 && v <= 259);
  FUZZ_CHECK(s.bw >= 0 && s.bw <= 255);
}

void checkBoxes(fuzz::FuzzWindow& w, const numbers::Dividers& v) {
  FUZZ_CHECK(w.text("GPS") == std::to_string(v.gps));
  FUZZ_CHECK(w.text("N31") == std::to_string(v.n31));
  FUZZ_CHECK(w.text("N2_HS") == std::to_string(v.n2_hs));
  FUZZ_CHECK(w.text("N2_LS") == std::to_string(v.n2_ls));
  FUZZ_CHECK(w.text("N1_HS") == std::to_string(v.n1_hs));
  FUZZ_CHECK(w.text("NC1_LS") == std::to_string(v.nc1_ls));
  FUZZ_CHECK(w.text("NC2_LS") == std::to_string(v.nc2_ls));
  FUZZ_CHECK(w.text("BW") == std::to_string(v.bw));
  const double expected = double(v.gps) / v.n31 * v.n2_ls * v.n2_hs / v.n1_hs / v.nc1_ls;
  const auto shown = ui::parseNumber(w.text("Out1Freq"), w.frm.state().numberFormat);
  FUZZ_CHECK(shown.has_value());
  FUZZ_CHECK(std::fabs(*shown - expected) <= 1e-14 * expected);
  FUZZ_CHECK(w.text("F3lbl").starts_with("F3 = ") && w.text("F3lbl").ends_with(" Hz "));
  FUZZ_CHECK(w.text("Fosclbl").starts_with("Fosc = ") && w.text("Fosclbl").ends_with(" GHz "));
}

// The two command-4 frames of one Update.
// report: what the readback filled the boxes from, when it did.
void checkUpdate(const std::vector<Bytes>& frames, const Bytes* report) {
  FUZZ_CHECK(frames.size() == 2);
  FUZZ_CHECK(frames[0] == frames[1]);
  const Bytes& f = frames[0];
  const std::uint32_t gps = le24(f, 2), n31 = le24(f, 5) + 1, n2hs = f[8] + 4u, n2ls = le24(f, 9) + 1,
                      n1hs = f[12] + 4u, nc1 = le24(f, 13) + 1, nc2 = le24(f, 16) + 1;
  FUZZ_CHECK(gps >= 1 && gps <= 10000000);
  FUZZ_CHECK(n31 >= 1 && n31 <= 524288);
  FUZZ_CHECK(n2hs >= 4 && n2hs <= 11 && n1hs >= 4 && n1hs <= 11);
  FUZZ_CHECK(n2ls >= 2 && n2ls <= 1048576 && n2ls % 2 == 0);
  FUZZ_CHECK(nc1 >= 1 && nc1 <= 1048576);
  FUZZ_CHECK(nc2 >= 2 && nc2 <= 1048576 && nc2 % 2 == 0);
  FUZZ_CHECK(f[19] == 0);
  for (std::size_t i = 21; i < f.size(); ++i) FUZZ_CHECK(f[i] == 0);
  if (!report) return;
  FUZZ_CHECK(f[20] == (*report)[21]);

  // A block already inside the ranges, with equal even output dividers, goes back unchanged.
  const auto d = core::decodeSettingsReport(*report);
  const auto& s = d->dividers;
  const bool inRange = s.gps >= 1 && s.gps <= 10000000 && s.n31 <= 524288 && s.n2_hs <= 11 && s.n1_hs <= 11 &&
                       s.n2_ls >= 2 && s.n2_ls <= 1048576 && s.n2_ls % 2 == 0 && s.nc1_ls == s.nc2_ls &&
                       s.nc1_ls >= 2 && s.nc1_ls <= 1048576 && s.nc1_ls % 2 == 0;
  if (inRange) {
    for (std::size_t i = 0; i < 17; ++i) FUZZ_CHECK(f[2 + i] == (*report)[3 + i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  const std::uint8_t flags = in.byte();
  const std::uint16_t version = in.u16();
  const std::uint8_t lengthSel = in.byte();
  const int featureLength = lengthSel >= 0xF0 ? lengthSel - 0xF0 : 22 + lengthSel % 64;
  const auto body = in.rest();

  // Any length: nothing below 22 bytes, in-range fields from any 22 or more.
  const auto decoded = core::decodeSettingsReport(body);
  FUZZ_CHECK(decoded.has_value() == (body.size() >= 22));
  if (decoded) checkDecoded(*decoded);

  fuzz::FuzzWindow w((flags & 0x01) ? ui::NumberFormat::comma() : ui::NumberFormat::point());
  w.unit.attributesAnswer.versionNumber = version;
  w.unit.caps = platform::HidCapabilities{65, featureLength};
  w.unit.getFeatureOk = (flags & 0x02) == 0;
  if (flags & 0x04) w.unit.manufacturer.reset();
  w.unit.settingsReport.assign(body.begin(), body.end());

  // The report as the window receives it: the feature report's length, ID 0, zeros after the data.
  Bytes report(static_cast<std::size_t>(featureLength), 0);
  std::copy_n(body.begin(), std::min(body.size(), report.size()), report.begin());
  if (!report.empty()) report[0] = 0;
  const bool usable = featureLength >= 22;

  auto readBack = [&](std::size_t before) {
    FUZZ_CHECK(w.frm.state().link.isOpen());
    FUZZ_CHECK(w.frm.state().link.settingsLoaded() == usable);
    for (std::size_t i = before; i < w.unit.sent.size(); ++i) {
      const std::uint8_t code = w.unit.sent[i][1];
      FUZZ_CHECK(code == 8 || code == 10);
    }
    if (usable && w.unit.getFeatureOk) checkBoxes(w, core::decodeSettingsReport(report)->dividers);
  };
  w.frm.Load();
  readBack(0);

  if (flags & 0x08) {
    const std::size_t before = w.unit.sentWithCommand(4).size();
    const std::size_t messagesBefore = w.toolkit.shown.size();
    w.frm.click("SetFreq");
    auto frames = w.unit.sentWithCommand(4);
    frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(before));
    if (!usable) {
      FUZZ_CHECK(frames.empty());
    } else if (w.unit.getFeatureOk) {
      checkUpdate(frames, &report);
    } else if (frames.empty()) {
      // Without a readback BW holds no number yet: refused with a message.
      FUZZ_CHECK(w.toolkit.shown.size() == messagesBefore + 1);
    } else {
      checkUpdate(frames, nullptr);
    }
  }
  if (flags & 0x10) {
    const std::size_t before = w.unit.sent.size();
    w.frm.click("SerNo");
    readBack(before);
  }
  return 0;
}

// Texts a user types into every box, and the actions that read them, on the main window with a
// simulated unit in virtual time: a frequency request by FindFreq or Enter (answering the closest-
// frequency question, or cancelling the search part-way), Update with the divider boxes, the raw
// register write with REG and DATA, serial programming with SN, and timer ticks between them.
//
// Input: flags, then the texts of Out1Freq, GPS, N31, N2_HS, N2_LS, N1_HS, NC1_LS, NC2_LS, BW,
// REG, DATA and SN, each ended by a byte 0, then one byte per action.
//   flags bit 0: the user's number format writes a decimal comma
//   flags bits 1-7: the answers to the closest-frequency questions, Yes for a set bit
//
// Checks: every feature report is exactly the unit's feature report length; command 4 comes in two
// identical frames whose block lies in the synthesizer's ranges with its reserved and trailing
// bytes zero, and after Update the boxes show the values sent; a register write carries exactly the numbers typed, and is sent only when both are
// whole numbers from 0 to 255; a serial is sent only as one printable byte and five digits.
#include <algorithm>
#include <array>

#include "numbers/number_format.h"
#include "core/protocol.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/simulated_window.h"

namespace {

using namespace tamrik;
using Bytes = std::vector<std::uint8_t>;

constexpr std::array<const char*, 12> kBoxes = {"Out1Freq", "GPS",    "N31", "N2_HS", "N2_LS", "N1_HS",
                                                "NC1_LS",   "NC2_LS", "BW",  "REG",   "DATA",  "SN"};
constexpr std::size_t kFeatureReportLength = 65;

std::uint32_t le24(const Bytes& f, std::size_t at) {
  return static_cast<std::uint32_t>(f[at] | f[at + 1] << 8 | f[at + 2] << 16);
}

void checkBlock(const Bytes& f) {
  const std::uint32_t gps = le24(f, 2), n31 = le24(f, 5) + 1, n2hs = f[8] + 4u, n2ls = le24(f, 9) + 1,
                      n1hs = f[12] + 4u, nc1 = le24(f, 13) + 1, nc2 = le24(f, 16) + 1;
  FUZZ_CHECK(gps >= 1 && gps <= 10000000);
  FUZZ_CHECK(n31 >= 1 && n31 <= 524288);
  FUZZ_CHECK(n2hs >= 4 && n2hs <= 11 && n1hs >= 4 && n1hs <= 11);
  FUZZ_CHECK(n2ls >= 2 && n2ls <= 1048576);
  FUZZ_CHECK(nc1 >= 1 && nc1 <= 1048576);
  FUZZ_CHECK(nc2 >= 2 && nc2 <= 1048576);
  FUZZ_CHECK(f[19] == 0);
  for (std::size_t i = 21; i < f.size(); ++i) FUZZ_CHECK(f[i] == 0);
}

void checkFrames(const std::vector<platform::testing::RecordingDeviceBackend::FeatureReport>& reports) {
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const Bytes& f = reports[i].bytes;
    FUZZ_CHECK(f.size() == kFeatureReportLength);
    FUZZ_CHECK(f[0] == 0);
    switch (f[1]) {
      case 4:
        // The second of a pair follows the first at once.
        checkBlock(f);
        FUZZ_CHECK(i + 1 < reports.size() && reports[i + 1].bytes == f);
        ++i;
        break;
      case 0x53:
        FUZZ_CHECK(f[2] == 'N');
        FUZZ_CHECK(f[3] > 0x20 && f[3] != 0x7F && (f[3] < 0x80 || f[3] > 0xA0));
        for (std::size_t k = 4; k < 9; ++k) FUZZ_CHECK(f[k] >= '0' && f[k] <= '9');
        for (std::size_t k = 9; k < f.size(); ++k) FUZZ_CHECK(f[k] == 0);
        break;
      default:
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  const std::uint8_t flags = in.byte();
  std::array<std::string, kBoxes.size()> typed;
  for (auto& t : typed) t = in.text();

  testing::SimulatedWindow w((flags & 0x01) ? ui::NumberFormat::comma() : ui::NumberFormat::point());
  const ui::NumberFormat& format = w.state().numberFormat;
  for (int bit = 1; bit < 8; ++bit) {
    w.toolkit.answers.push_back((flags >> bit) & 1 ? platform::MessageAnswer::Yes : platform::MessageAnswer::No);
  }
  // The timer keeps firing while a search lets the window process events.
  int cancelAtRound = -1;
  w.toolkit.onProcessEvents = [&] {
    w.frm.timerTick();
    if (cancelAtRound >= 0 && cancelAtRound-- == 0) w.frm.click("FindFreq");
  };
  w.addUnit(u"F00001");
  w.frm.Load();
  FUZZ_CHECK(w.state().link.isOpen() && w.state().link.settingsLoaded());

  auto typeAll = [&] {
    for (std::size_t i = 0; i < kBoxes.size(); ++i) w.model().setText(kBoxes[i], typed[i]);
  };
  typeAll();
  for (int step = 0; step < 16 && !in.empty(); ++step) {
    const std::uint8_t action = in.byte();
    const std::size_t sentBefore = w.recorder.featureReports.size();
    switch (action % 8) {
      case 0: w.frm.click("FindFreq"); break;
      case 1: w.frm.keyPress("Out1Freq", 13); break;
      case 2: {
        w.frm.click("SetFreq");
        // The boxes show the values sent.
        if (w.recorder.featureReports.size() > sentBefore) {
          const Bytes& f = w.recorder.featureReports.back().bytes;
          FUZZ_CHECK(f[1] == 4);
          auto box = [&](const char* name) {
            const auto v = ui::parseNumber(w.text(name), format);
            const auto n = v ? numbers::toInt32Nearest(*v) : std::nullopt;
            FUZZ_CHECK(n && *n == *v);  // a whole number
            return *n;
          };
          const auto block = core::encodeSettingsBlock({box("GPS"), box("N31"), box("N2_HS"), box("N2_LS"),
                                                        box("N1_HS"), box("NC1_LS"), box("NC2_LS"), box("BW")});
          FUZZ_CHECK(block && std::equal(block->begin(), block->end(), f.begin() + 2));
        }
        break;
      }
      case 3: {
        const bool loaded = w.state().link.isOpen() && w.state().link.settingsLoaded();
        const auto reg = ui::parseWholeNumber(w.text("REG"), format, 0, 255);
        const auto value = ui::parseWholeNumber(w.text("DATA"), format, 0, 255);
        w.frm.click("WriteRegister");
        const auto& sent = w.recorder.featureReports;
        if (loaded && reg && value) {
          FUZZ_CHECK(sent.size() == sentBefore + 1);
          FUZZ_CHECK(sent.back().bytes[1] == 5 && sent.back().bytes[2] == *reg && sent.back().bytes[3] == *value);
        } else {
          FUZZ_CHECK(sent.size() == sentBefore);
        }
        break;
      }
      case 4: w.frm.click("SetSN"); break;
      case 5: w.runTicks(1 + action / 8 % 8); break;
      case 6: cancelAtRound = action / 8; break;
      default: typeAll(); break;
    }
    FUZZ_CHECK(!w.state().flags.SearchRunning);
  }
  checkFrames(w.recorder.featureReports);
  return 0;
}

// Writes the seed corpus of the fuzz targets: tamrik_fuzz_seeds <folder> creates <folder>/<target>/
// with a few inputs each, built from UBX frames, settings reports and report descriptors that a unit
// could send. The committed corpus in tests/fuzz/corpus was made with it.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/sim/ubx_frame.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace tamrik;
using Bytes = std::vector<std::uint8_t>;
namespace ubx = sim::ubx;
namespace fs = std::filesystem;

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

void write(const fs::path& folder, const std::string& name, const Bytes& bytes) {
  fs::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                       static_cast<std::streamsize>(bytes.size()));
}

// One of each message the monitor acts on, with garbage and a lone sync byte between them.
Bytes receiverStream() {
  ubx::NavPvt pvt;
  pvt.time = {2025, 3, 7, 8, 5, 9, 120000};
  pvt.lat = 514778000;
  pvt.lon = -14000;
  pvt.height = 45610;
  ubx::NavSvInfo sv;
  sv.channels = {{5, 12, 1, 7, 30, 45, 120, 0}, {31, 3, 0, 4, 12, -10, 0, 0}, {40, 9, 1, 7, 44, 60, 0, 0}};
  ubx::NavClock clock;
  clock.clkD = 1234;
  ubx::NavTimeUtc utc;
  utc.time = {2025, 3, 7, 8, 5, 10, 100};
  Bytes s = {0x00, 0xB5, 0x13};
  append(s, ubx::navPvtFrame(pvt));
  append(s, ubx::navSvInfoFrame(sv));
  s.push_back(0xB5);
  append(s, ubx::navClockFrame(clock));
  append(s, ubx::navTimeUtcFrame(utc));
  const Bytes diag = {1, 2, 0xAB, 0xCD, 0x10, 0x27, 0, 0};
  append(s, ubx::frame(0x02, 0x52, diag));
  append(s, ubx::frame(0x0A, 0x1B, diag));
  Bytes monHw(21, 0x5A);
  append(s, ubx::frame(0x0A, 0x1E, monHw));
  return s;
}

// The unit's own settings: 2875000 Hz, N31 3, N2_HS 11, N2_LS 480, N1_HS 11, NC1_LS and NC2_LS 46, BW 9.
Bytes settingsReport() {
  Bytes r = {0, 1, 3, 0x78, 0xDE, 0x2B, 2, 0, 0, 7, 0xDF, 1, 0, 7, 0x2D, 0, 0, 0x2D, 0, 0, 0, 9};
  r.resize(65, 0);
  return r;
}

void receiverSeeds(const fs::path& dir) {
  const Bytes stream = receiverStream();
  Bytes raw = {0x00, 1};  // 65-byte reports, one per read
  append(raw, stream);
  write(dir, "messages", raw);
  Bytes clock = {0x0C | 2 << 5, 3};  // clock requested, clicks on the map label, 5-byte reports
  append(clock, stream);
  write(dir, "messages-small-reports", clock);

  // Well-formed frames with garbage between them, decimal comma, 64-byte reports.
  Bytes frames = {0x03 | 6 << 5, 7};
  const Bytes pvt = ubx::navPvtPayload({});
  frames.insert(frames.end(), {0x01, 0x07, static_cast<std::uint8_t>(pvt.size() - 1)});
  append(frames, pvt);
  frames.insert(frames.end(), {2, 0xB5, 0x62});
  const Bytes clk = ubx::navClockPayload({});
  frames.insert(frames.end(), {0x01, 0x22, static_cast<std::uint8_t>(clk.size() - 1)});
  append(frames, clk);
  frames.push_back(0);
  frames.insert(frames.end(), {0x0A, 0x11, 0xF0, 0x00, 0x01});  // a 257-byte payload, zeros
  write(dir, "frames", frames);
}

void inputReportSeeds(const fs::path& dir) {
  const Bytes stream = receiverStream();
  const Bytes reports = fuzz::reportsCarrying(stream, 65, 0x83, 7);
  // Direct reads of two and a half reports, a failed read, an unplug and a replug.
  Bytes direct = {0x00, 65, 43};
  for (std::size_t at = 0; at < reports.size(); at += 162) {
    const std::size_t n = std::min<std::size_t>(162, reports.size() - at);
    direct.push_back(static_cast<std::uint8_t>(n & 0xFF));
    direct.push_back(static_cast<std::uint8_t>(n >> 8));
    direct.insert(direct.end(), reports.begin() + static_cast<std::ptrdiff_t>(at),
                  reports.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
  direct.insert(direct.end(), {0xFF, 0xFE, 0xFE, 65, 0});
  append(direct, Bytes(reports.begin(), reports.begin() + 65));
  write(dir, "direct", direct);

  // Raw reports without and with an ID byte, the second read ending in an error.
  for (const bool ids : {false, true}) {
    Bytes raw = {static_cast<std::uint8_t>(ids ? 0x03 : 0x01), 65, 43};
    for (int read = 0; read < 2; ++read) {
      raw.push_back(static_cast<std::uint8_t>(3 | (read == 1 ? 16 : 0)));
      for (int k = 0; k < 3; ++k) {
        const std::size_t at = static_cast<std::size_t>(read * 3 + k) * 65;
        if (at + 65 > reports.size()) break;
        const std::size_t first = ids ? 0 : 1;
        raw.push_back(static_cast<std::uint8_t>(65 - first));
        raw.insert(raw.end(), reports.begin() + static_cast<std::ptrdiff_t>(at + first),
                   reports.begin() + static_cast<std::ptrdiff_t>(at + 65));
      }
    }
    write(dir, ids ? "raw-with-ids" : "raw", raw);
  }

  // A unit with 9-byte input reports and a feature report too short to command.
  Bytes small = {0x00, 9, 0xF8, 18, 0};
  append(small, fuzz::reportsCarrying(Bytes(stream.begin(), stream.begin() + 12), 9));
  write(dir, "small-reports", small);
}

void settingsSeeds(const fs::path& dir) {
  const Bytes report = settingsReport();
  auto seed = [&](const std::string& name, std::uint8_t flags, std::uint16_t version, std::uint8_t length,
                  const Bytes& body) {
    Bytes b = {flags, static_cast<std::uint8_t>(version & 0xFF), static_cast<std::uint8_t>(version >> 8), length};
    append(b, body);
    write(dir, name, b);
  };
  seed("unit", 0x18, 0x0120, 43, report);
  seed("unit-comma-old-firmware", 0x09, 0x0113, 43, report);
  Bytes high(65, 0xFF);
  seed("all-ones", 0x08, 0x0114, 0, high);
  seed("short-feature-report", 0x08, 0x0120, 0xF5, report);
  seed("failed-read", 0x0E, 0x0120, 43, report);
}

void descriptorSeeds(const fs::path& dir) {
  // Vendor-defined page, 64 data bytes of input, output and feature report, no report IDs.
  const Bytes plain = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
                       0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0x95, 0x40,
                       0x09, 0x01, 0xB1, 0x02, 0xC0};
  write(dir, "vendor-64", plain);
  // Two numbered reports, push and pop, a nested collection and a long item.
  const Bytes numbered = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x20,
                          0x09, 0x02, 0x81, 0x02, 0xA4, 0x85, 0x02, 0x95, 0x10, 0x09, 0x03, 0xB1, 0x02,
                          0xB4, 0xA1, 0x02, 0x75, 0x01, 0x95, 0x03, 0x09, 0x04, 0x81, 0x02, 0x95, 0x05,
                          0x81, 0x03, 0xC0, 0xFE, 0x02, 0x10, 0xAA, 0xBB, 0xC0};
  write(dir, "numbered", numbered);
  // A keyboard-like boot layout: one modifier byte, padding, six key codes, LED output bits.
  const Bytes keyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
                          0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
                          0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
                          0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
                          0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
  write(dir, "keyboard", keyboard);
}

void typedTextSeeds(const fs::path& dir) {
  auto seed = [&](const std::string& name, std::uint8_t flags, const std::vector<std::string>& texts,
                  const Bytes& actions) {
    Bytes b = {flags};
    for (const auto& t : texts) {
      b.insert(b.end(), t.begin(), t.end());
      b.push_back(0);
    }
    append(b, actions);
    write(dir, name, b);
  };
  const std::vector<std::string> unitSet = {"10000000", "2875000", "3", "11", "480", "11", "46",
                                            "46",       "9",       "136", "64", "Q00099"};
  seed("preset-update-register-serial", 0x00, unitSet, {0, 2, 3, 4, 5});
  seed("closest-yes", 0x02, {"12345678.9", "", "", "", "", "", "", "", "", "0", "255", "Q99999"}, {1, 2});
  seed("cancelled", 0x00, {"33333333", "", "", "", "", "", "", "", "", "", "", ""}, {6 | 3 << 3, 0, 7, 1});
  seed("comma-and-junk", 0x01,
       {"364,2", "abc", "-5", "1e3", "481", "12", "0", "1.048.577", "256", "1,5", "x", "\xC3\xA9" "12345"},
       {2, 3, 4, 0});
  seed("fractions", 0x00, {"", "2875000.5", "2.5", "4.5", "3.5", "10.5", "47.5", "", "8.5", "2.5", "0.5", "A12"},
       {2, 7, 3, 4});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const fs::path root(argv[1]);
  receiverSeeds(root / "receiver_stream");
  inputReportSeeds(root / "input_reports");
  settingsSeeds(root / "settings_report");
  descriptorSeeds(root / "report_descriptor");
  typedTextSeeds(root / "typed_texts");
  return 0;
}

// The receiver stream on input reports: frames cut across reports and reads, what reaches the sink,
// and a sink that stops the stream in the middle of a read.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/receiver_stream.h"
#include "platform/sim/ubx_frame.h"
#include "tests/support/bytes.h"

namespace tamrik::core {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace ubx = sim::ubx;

// Input reports of `length` bytes (ID byte included) carrying the stream with the given status byte;
// the last one padded with zeros.
Bytes reportsCarrying(const Bytes& stream, std::size_t length, std::uint8_t status = 0x80, std::uint8_t loss = 0) {
  Bytes out;
  for (std::size_t at = 0; at < stream.size(); at += length - 3) {
    out.insert(out.end(), {0, loss, status});
    for (std::size_t k = 0; k < length - 3; ++k) out.push_back(at + k < stream.size() ? stream[at + k] : 0);
  }
  return out;
}

struct Recorder : ReceiverSink {
  std::vector<InputStatus> statuses;
  Bytes raw;
  std::vector<std::pair<int, int>> messages;  // class, id
  std::vector<NavPvt> pvts;
  std::vector<std::vector<SvChannel>> svinfos;
  std::vector<NavTimeUtc> utcs;
  std::vector<NavClock> clocks;

  void onInputStatus(const InputStatus& s) override { statuses.push_back(s); }
  void onReceiverBytes(std::span<const std::uint8_t> b) override { raw.insert(raw.end(), b.begin(), b.end()); }
  void onMessage(std::uint8_t c, std::uint8_t i, std::span<const std::uint8_t>) override { messages.emplace_back(c, i); }
  void onNavPvt(const NavPvt& m) override { pvts.push_back(m); }
  void onNavSvInfo(const NavSvInfo& m) override {
    std::vector<SvChannel> c;
    for (int i = 0; i < m.channels(); ++i) c.push_back(m.channel(i));
    svinfos.push_back(c);
  }
  void onNavTimeUtc(const NavTimeUtc& m) override { utcs.push_back(m); }
  void onNavClock(const NavClock& m) override { clocks.push_back(m); }
};

using testing::join;

TEST(ReceiverStream, DecodesFramesCutAcrossReportsAndReads) {
  ubx::NavPvt pvt;
  pvt.iTow = 123456;
  pvt.time = {2025, 3, 7, 8, 5, 9, 250};
  pvt.lat = 460569000;
  pvt.lon = -145058000;
  pvt.height = 341500;
  pvt.hMsl = 295200;
  pvt.numSv = 11;
  ubx::NavPvt shortPvt = pvt;
  shortPvt.length = 84;  // u-blox 7
  ubx::NavSvInfo sv;
  sv.channels = {{3, 17, 0x0D, 7, 44, 61, -120, -250}, {255, 30, 0, 1, 0, -91, 0, 0}};
  ubx::NavTimeUtc utc;
  utc.time = {2025, 3, 7, 8, 5, 9, 0};
  const Bytes stream = join({{0x00, 0x62}, ubx::navPvtFrame(pvt), ubx::frame(0x0A, 0x1E, Bytes(21, 7)),
                             ubx::navSvInfoFrame(sv), ubx::navClockFrame({.clkB = -5, .clkD = -180, .fAcc = 300}),
                             ubx::navTimeUtcFrame(utc), ubx::frame(0x01, 0x07, Bytes(35, 0)),  // too short
                             ubx::navPvtFrame(shortPvt)});
  // 9-byte reports, read three at a time, with a half report at the end of the first read.
  const Bytes reports = reportsCarrying(stream, 9, 0x81, 4);
  Recorder r;
  ReceiverStream s(r);
  EXPECT_TRUE(s.feedInputReports(std::span(reports).first(31), 9));  // 3 whole reports
  EXPECT_TRUE(s.feedInputReports(std::span(reports).subspan(27), 9));
  EXPECT_EQ(r.statuses, (std::vector<InputStatus>{{4, false, true}, {4, false, true}}));
  EXPECT_EQ(Bytes(r.raw.begin(), r.raw.begin() + static_cast<std::ptrdiff_t>(stream.size())), stream);

  EXPECT_EQ(r.messages, (std::vector<std::pair<int, int>>{{1, 7}, {0x0A, 0x1E}, {1, 0x30}, {1, 0x22}, {1, 0x21}, {1, 7}, {1, 7}}));
  ASSERT_EQ(r.pvts.size(), 2u);  // the 35-byte NAV-PVT is not one
  const NavPvt& p = r.pvts[0];
  EXPECT_EQ(p.iTOW, 123456u);
  EXPECT_EQ(p.year, 2025);
  EXPECT_EQ(p.second, 9);
  EXPECT_EQ(p.nano, 250);
  EXPECT_EQ(p.lat, 460569000);
  EXPECT_EQ(p.lon, -145058000);
  EXPECT_EQ(p.height, 341500);
  EXPECT_EQ(p.hMSL, 295200);
  EXPECT_EQ(p.numSV, 11);
  EXPECT_EQ(p.fixType, 3);
  EXPECT_TRUE(p.timeValid());
  EXPECT_EQ(r.pvts[1].hMSL, 295200);  // 84 bytes carry the accuracies too

  ASSERT_EQ(r.svinfos.size(), 1u);
  ASSERT_EQ(r.svinfos[0].size(), 2u);
  const SvChannel& c = r.svinfos[0][0];
  EXPECT_EQ(c.chn, 3);
  EXPECT_EQ(c.svid, 17);
  EXPECT_TRUE(c.used());
  EXPECT_EQ(c.cno, 44);
  EXPECT_EQ(c.elev, 61);
  EXPECT_EQ(c.azim, -120);
  EXPECT_EQ(c.prRes, -250);
  EXPECT_EQ(r.svinfos[0][1].elev, -91);
  ASSERT_EQ(r.clocks.size(), 1u);
  EXPECT_EQ(r.clocks[0].clkD, -180);
  EXPECT_EQ(r.clocks[0].clkB, -5);
  EXPECT_EQ(r.clocks[0].fAcc, 300u);
  ASSERT_EQ(r.utcs.size(), 1u);
  EXPECT_TRUE(r.utcs[0].utcValid());
  EXPECT_EQ(r.utcs[0].minute, 5);
}

TEST(ReceiverStream, ReportsNotFlaggedAndPartialReportsCarryNothing) {
  const Bytes frame = ubx::navClockFrame({.clkD = 30});
  Bytes reports = reportsCarrying(frame, 65, 0x00);  // status only: the bytes are not the receiver's
  Recorder r;
  ReceiverStream s(r);
  EXPECT_TRUE(s.feedInputReports(reports, 65));
  EXPECT_TRUE(r.raw.empty());
  EXPECT_EQ(r.statuses.size(), 1u);
  reports = reportsCarrying(frame, 65);
  EXPECT_TRUE(s.feedInputReports(std::span(reports).first(64), 65));  // not one whole report
  EXPECT_TRUE(r.messages.empty());
  EXPECT_EQ(r.statuses.size(), 1u);
  EXPECT_TRUE(s.feedInputReports(reports, 2));  // a length too short for the status bytes
  EXPECT_TRUE(r.messages.empty());
}

// A sink whose handling closes the unit stops the stream: the bytes after the one that completed
// the message are left unread, so the assembler holds exactly that message.
TEST(ReceiverStream, ASinkStopsTheReadAtTheByteItAsksTo) {
  const Bytes stream = join({ubx::navClockFrame({.clkD = 1}), ubx::navClockFrame({.clkD = 2}),
                             ubx::navClockFrame({.clkD = 3})});
  const Bytes reports = reportsCarrying(stream, 17);
  struct Stopper : Recorder {
    bool stop = false;
    void onNavClock(const NavClock& m) override {
      Recorder::onNavClock(m);
      stop = m.clkD == 2;
    }
    bool keepReading() override { return !stop; }
  } stopper;
  ReceiverStream s(stopper);
  EXPECT_FALSE(s.feedInputReports(reports, 17));
  ASSERT_EQ(stopper.clocks.size(), 2u);
  EXPECT_EQ(s.assembler().state, 0);
  EXPECT_EQ(s.assembler().message().size(), 20u);
  // The raw bytes stop with the report that held the stop.
  EXPECT_LT(stopper.raw.size(), stream.size());
  EXPECT_EQ(stopper.raw.size() % 14, 0u);
  // Fed again from where it stopped, the stream goes on.
  stopper.stop = false;
  EXPECT_TRUE(s.feedReceiverBytes(std::span(stream).subspan(56)));
  EXPECT_EQ(stopper.clocks.back().clkD, 3);
}

// Whether each frame followed the one before with nothing but report padding between: what the
// bridge's epoch stamper takes for a burst seen whole. And NAV-TIMELS, decoded for it.
TEST(ReceiverStream, TellsWhetherAFrameAdjoinsTheOneBeforeAndDeliversTheLeapSecondMessage) {
  struct Adjoins : ReceiverSink {
    explicit Adjoins(const ReceiverStream* const& s) : stream(s) {}
    void onMessage(std::uint8_t, std::uint8_t id, std::span<const std::uint8_t>) override {
      seen.emplace_back(id, stream->frameAdjoins());
    }
    void onNavTimeLs(const NavTimeLs& m) override { leaps.push_back(m); }
    const ReceiverStream* const& stream;
    std::vector<std::pair<int, bool>> seen;  // id, adjoins
    std::vector<NavTimeLs> leaps;
  };
  const ReceiverStream* stream = nullptr;
  Adjoins sink(stream);
  ReceiverStream s(sink);
  stream = &s;
  Bytes ls(24, 0);
  ls[0] = 0x10;                      // iTOW 16
  ls[11] = 1;                        // a second inserted
  ls[12] = 0x20;                     // in 32 s
  ls[23] = 0x03;                     // both valid
  const auto f = [](std::uint8_t id) { return ubx::frame(0x01, id, Bytes(8, id)); };
  const Bytes first = join({Bytes{0, 0}, f(1), Bytes{0, 0, 0}, f(2), Bytes{0x33}, f(3), f(4), ubx::frame(0x01, 0x26, ls)});
  EXPECT_TRUE(s.feedReceiverBytes(first));
  // A frame cut short swallows what follows as its payload (frame 6 is lost with it); a stray
  // sync byte starts nothing, but it stands between.
  const Bytes cut = f(5);
  EXPECT_TRUE(s.feedReceiverBytes(join({Bytes(cut.begin(), cut.begin() + 6), f(6), Bytes{0xB5, 0}, f(7)})));
  // After a resync the frame in progress is gone and the count starts again.
  EXPECT_TRUE(s.feedReceiverBytes(Bytes(cut.begin(), cut.begin() + 10)));
  s.resync();
  EXPECT_TRUE(s.feedReceiverBytes(join({Bytes{0}, f(8), Bytes(cut.begin() + 10, cut.end()), f(9)})));
  const std::vector<std::pair<int, bool>> want = {{1, true},    {2, true}, {3, false}, {4, true},
                                                  {0x26, true}, {7, false}, {8, true},  {9, false}};
  EXPECT_EQ(sink.seen, want);
  ASSERT_EQ(sink.leaps.size(), 1u);
  EXPECT_EQ(sink.leaps[0].iTOW, 16u);
  EXPECT_EQ(sink.leaps[0].lsChange, 1);
  EXPECT_EQ(sink.leaps[0].timeToLsEvent, 32);
  EXPECT_TRUE(sink.leaps[0].eventKnown());
}

// NAV-PVT's position DOP (offset 76) in u-blox 8's 92 bytes and u-blox 7's 84, and nothing from a
// payload that ends before it.
TEST(NavPvtReader, ThePositionDopOnlyWhereThePayloadHoldsIt) {
  for (const std::size_t length : {std::size_t{92}, std::size_t{84}, std::size_t{78}, std::size_t{77}, std::size_t{48}}) {
    SCOPED_TRACE(length);
    ubx::NavPvt m;
    m.pDop = 1234;
    m.length = length;
    const auto pvt = readNavPvt(ubx::navPvtPayload(m));
    ASSERT_TRUE(pvt);
    EXPECT_EQ(pvt->pDOP, length >= 78 ? std::optional<std::uint16_t>(1234) : std::nullopt);
    EXPECT_EQ(pvt->hAcc, 1500u);
  }
}

}  // namespace
}  // namespace tamrik::core

// A time server's files as setup writes and knows them again, chronyc's answers and the
// calibration's arithmetic, and the chain's links.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "timeserver/calibration.h"
#include "timeserver/chain_check.h"
#include "timeserver/time_server_files.h"

namespace tamrik::timeserver {
namespace {

TEST(TimeServerFiles, TheRefclockFileComesBackAsWrittenAndOnlySetupsFilesAreTakenForIt) {
  RefclockFile file;
  file.serial = "1234";
  file.line.socket = Paths{"1234"}.socket();
  file.enabledBridge = true;
  file.madeFolders = {"/etc/chrony/conf.d"};
  Measurement m;
  m.when = "2026-12-10T23:00:00Z";
  m.minutes = 60;
  m.samples = 449;
  m.median = 0.0041234;
  m.spread = 0.0012;
  m.tolerance = 0.0002;
  m.forOffset = 0.105;
  m.offset = 0.1091234;
  m.delay = 0.0024;
  m.selectable = true;
  file.measurement = m;
  const std::string text = file.text();
  EXPECT_TRUE(text.ends_with("refclock SOCK /run/chrony.tamrik-1234.sock refid TMRK poll 3 delay 0.01 offset 0.105 noselect\n")) << text;

  const std::optional<RefclockFile> back = parseRefclockFile(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->serial, "1234");
  EXPECT_EQ(back->line.text(), file.line.text());
  EXPECT_TRUE(back->enabledBridge);
  EXPECT_EQ(back->madeFolders, file.madeFolders);
  ASSERT_TRUE(back->measurement);
  EXPECT_EQ(back->measurement->samples, 449);
  EXPECT_DOUBLE_EQ(back->measurement->offset, 0.1091234);
  EXPECT_DOUBLE_EQ(back->measurement->forOffset, 0.105);
  EXPECT_TRUE(back->measurement->selectable);
  EXPECT_FALSE(back->measurement->applied);
  EXPECT_EQ(back->text(), text);

  // Anyone else's file, even one with the same line, is not setup's.
  EXPECT_FALSE(parseRefclockFile(file.line.text() + "\n"));
  EXPECT_FALSE(parseRefclockFile("# tamrik\n" + file.line.text() + "\n"));
  EXPECT_FALSE(madeBySetup(" " + text));

  // chrony's lines: directives and driver in any case, a driver option after ':', comments skipped.
  const auto line = parseRefclockLine("  REFCLOCK sock /run/chrony.x.sock:perm=0660 refid TMRK offset +0.25 delay 0.002 noselect");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->socket, "/run/chrony.x.sock");
  EXPECT_EQ(line->refid, "TMRK");
  EXPECT_DOUBLE_EQ(*line->offset, 0.25);
  EXPECT_TRUE(line->noselect);
  EXPECT_FALSE(parseRefclockLine("# refclock SOCK /run/chrony.x.sock"));
  EXPECT_FALSE(parseRefclockLine("! refclock SOCK /run/chrony.x.sock"));
  EXPECT_FALSE(parseRefclockLine("refclock SHM 0 refid GPS"));
  const std::vector<FoundRefclock> all = refclocksIn("pool x iburst\n\nrefclock SOCK /a.sock\nrefclock PPS /dev/pps0\nrefclock SOCK /b.sock\n");
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].socket, "/b.sock");
  EXPECT_EQ(all[1].lineNumber, 5);
}

TEST(TimeServerFiles, AppArmorLinesGoOnlyIntoAnEmptyOrCommentedFileAndComeOutLeavingItAsItWas) {
  const Paths paths{"1234"};
  for (const std::string& before : {std::string(), std::string("# Site-specific additions and overrides for usr.sbin.gpsd.\n"),
                                   std::string("# no newline at the end")}) {
    for (const bool fileIsNew : {false, true}) {
      if (fileIsNew && !before.empty()) continue;
      const std::optional<std::string> with = withAppArmorLines(before, paths, fileIsNew);
      ASSERT_TRUE(with) << before;
      EXPECT_NE(with->find("/dev/pts/[0-9]* rw,\n"), std::string::npos);
      EXPECT_EQ(withAppArmorLines(*with, paths, false), *with);  // there already: unchanged
      const WithoutLines without = withoutAppArmorLines(*with);
      EXPECT_TRUE(without.found);
      EXPECT_EQ(without.fileWasMade, fileIsNew);
      EXPECT_EQ(without.text, before) << "from '" << before << "'";
    }
  }
  // Rules of another (an #include too): setup leaves the file alone.
  EXPECT_FALSE(withAppArmorLines("# mine\n/dev/ttyUSB0 rw,\n", paths, false));
  EXPECT_FALSE(withAppArmorLines("#include <abstractions/mine>\n", paths, false));
  // Setup made the file, and then the owner added a rule: undo leaves the file with it.
  const std::string owned = *withAppArmorLines("", paths, true) + "/dev/ttyUSB1 rw,\n";
  const WithoutLines kept = withoutAppArmorLines(owned);
  EXPECT_TRUE(kept.fileWasMade);
  EXPECT_EQ(kept.text, "/dev/ttyUSB1 rw,\n");
  // A line after setup's keeps its newline, though setup put one after the owner's last line.
  const std::string noNewline = *withAppArmorLines("# a", paths, false) + "# b\n";
  EXPECT_EQ(withoutAppArmorLines(noNewline).text, "# a\n# b\n");
  EXPECT_FALSE(withoutAppArmorLines("/dev/ttyUSB0 rw,\n").found);
}

TEST(TimeServerFiles, AMeasurementIsKeptAndAppliedWithoutLosingTheOwnersLinesAndOptions) {
  const Paths paths{"1234"};
  RefclockFile file;
  file.serial = "1234";
  file.line.socket = paths.socket();
  // The owner's additions: an option of the line, a line of their own.
  std::string text = file.text();
  text.insert(text.rfind(" noselect"), " prefer filter 16");
  text += "maxdistance 2.0\n";
  Measurement m;
  m.when = "2026-12-10T23:00:00Z";
  m.samples = 40;
  m.median = 0.0042;
  m.spread = 0.0015;
  m.forOffset = 0.105;
  m.offset = 0.1092;
  m.delay = 0.003;
  m.selectable = true;

  const std::string kept = withMeasurement(text, paths.socket(), m, false);
  EXPECT_NE(kept.find("refclock SOCK /run/chrony.tamrik-1234.sock refid TMRK poll 3 delay 0.01 offset 0.105 prefer filter 16 noselect\n"),
            std::string::npos) << kept;
  EXPECT_NE(kept.find("maxdistance 2.0\n"), std::string::npos);
  ASSERT_TRUE(parseRefclockFile(kept) && parseRefclockFile(kept)->measurement);
  EXPECT_FALSE(parseRefclockFile(kept)->measurement->applied);

  const std::string applied = withMeasurement(kept, paths.socket(), m, true);
  EXPECT_NE(applied.find("refclock SOCK /run/chrony.tamrik-1234.sock refid TMRK poll 3 delay 0.003 offset 0.1092 prefer filter 16\n"),
            std::string::npos) << applied;
  EXPECT_NE(applied.find("maxdistance 2.0\n"), std::string::npos);
  const std::optional<RefclockFile> back = parseRefclockFile(applied);
  ASSERT_TRUE(back && back->measurement);
  EXPECT_TRUE(back->measurement->applied);
  EXPECT_EQ(std::count(applied.begin(), applied.end(), '\n'), std::count(kept.begin(), kept.end(), '\n'));  // one calibration line
  // A spread too wide for selection keeps noselect.
  m.selectable = false;
  EXPECT_NE(withMeasurement(kept, paths.socket(), m, true).find("offset 0.1092 prefer filter 16 noselect\n"), std::string::npos);
}

TEST(TimeServerFiles, ChronysVersionItsConfFolderAndSerialsThatCanNameFiles) {
  using V = std::optional<std::pair<int, int>>;
  EXPECT_EQ(chronyVersion("chronyd (chrony) version 4.3 (+CMDMON +NTP +REFCLOCK)"), V({4, 3}));
  EXPECT_EQ(chronyVersion("Version: 4.6.1-3"), V({4, 6}));
  EXPECT_EQ(chronyVersion("Version: 1:3.5-9"), V({3, 5}));
  EXPECT_EQ(chronyVersion("chronyd (chrony) version unknown"), std::nullopt);
  EXPECT_LT(*chronyVersion("Version: 3.5-2"), kOldestChrony);
  EXPECT_TRUE(readsConfDir("pool 2.debian.pool.ntp.org iburst\nconfdir /etc/chrony/conf.d\n"));
  EXPECT_TRUE(readsConfDir("CONFDIR /usr/lib/chrony/conf.d /etc/chrony/conf.d/\n"));
  EXPECT_TRUE(readsConfDir("include /etc/chrony/conf.d/*.conf\n"));
  EXPECT_FALSE(readsConfDir("# confdir /etc/chrony/conf.d\nsourcedir /etc/chrony/sources.d\n"));
  EXPECT_FALSE(readsConfDir("confdir /etc/chrony/conf.d.old\n"));
  for (const std::string ok : {"1234", "SIM001", "A.b_c9"}) EXPECT_TRUE(isPlainSerial(ok)) << ok;
  // '-' names '/' in a systemd instance: the bridge's service would look for AB/12.
  for (const std::string& bad : std::vector<std::string>{"", "../1", "AB-12", ".x", "a b", "a/b", "a%i", std::string(33, 'a'), "\xc3\xa9"}) {
    EXPECT_FALSE(isPlainSerial(bad)) << bad;
  }
  EXPECT_EQ(chronyNumber(0.1091234), "0.1091234");
  EXPECT_EQ(chronyNumber(-0.00000004), "0");
  EXPECT_EQ(chronyNumber(0.105), "0.105");
}

// chronyc -c -n sources, every 2 s for 5 minutes: a chronyd following a server on loopback (whose
// offset option shifts the clock it steers by +50 ms) and a simulated unit's bridge sending it the
// receiver's time, configured with the default offset 0.105.
std::vector<std::vector<SourceRow>> recordedLooks() {
  std::ifstream in(std::string(TAMRIK_SOURCE_DIR) + "/tests/timeserver/data/chronyc_sources.txt");
  std::vector<std::vector<SourceRow>> looks;
  std::string block;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("==")) {
      if (!block.empty()) looks.push_back(parseSources(block));
      block.clear();
    } else {
      block += line + "\n";
    }
  }
  if (!block.empty()) looks.push_back(parseSources(block));
  return looks;
}

TEST(Calibration, ARecordedSeriesGivesTheUnitsDelayPlusTheServersShift) {
  const std::vector<std::vector<SourceRow>> looks = recordedLooks();
  ASSERT_GT(looks.size(), 100u);
  Calibration c("TMRK");
  std::vector<double> distinct;  // each new sample once, by its measured offset
  for (const auto& rows : looks) {
    c.look(rows);
    for (const SourceRow& r : rows) {
      if (r.name == "TMRK" && r.lastRx && (distinct.empty() || distinct.back() != r.measuredOffset)) distinct.push_back(r.measuredOffset);
    }
  }
  // One sample a poll (8 s), each taken once.
  EXPECT_EQ(c.offsets().size(), distinct.size());
  EXPECT_GE(c.offsets().size(), 30u);
  const Calibration::Result r = c.result(0.105);
  ASSERT_EQ(r.verdict, Calibration::Verdict::Measured) << r.reason;
  // The unit sends its first report 40 ms after the second plus 62 bytes at 9600 baud; the host
  // sees it up to a few milliseconds later.
  const double outputDelay = 0.040 + 62 * 10.0 / 9600;
  EXPECT_GE(r.offset, outputDelay + 0.05 - 0.002);
  EXPECT_LE(r.offset, outputDelay + 0.05 + 0.015);
  EXPECT_DOUBLE_EQ(r.offset, 0.105 + r.median);
  EXPECT_GT(r.spread, 0);
  EXPECT_LT(r.spread, 0.005);
  EXPECT_DOUBLE_EQ(r.delay, std::max(0.001, 2 * r.spread));
  EXPECT_TRUE(r.selectable);
  EXPECT_LE(r.tolerance, 0.002);
}

TEST(Calibration, SaysWhyWithoutAnotherSourceWithTooFewSamplesOrTooWideASpread) {
  const auto rows = [](double offset, std::int64_t age, char serverState) {
    std::ostringstream s;
    s << "#,?,TMRK,0,3,377," << age << "," << offset << "," << offset << ",0.005\n^," << serverState << ",192.0.2.1,2,6,377,30,0.0001,0.0001,0.01\n";
    return parseSources(s.str());
  };
  // Only TMRK's own selection: nothing to measure against.
  Calibration alone("TMRK");
  for (int i = 0; i < 20; ++i) alone.look(rows(0.001 * i, 8 - i % 8, '-'));
  EXPECT_EQ(alone.result(0.105).verdict, Calibration::Verdict::NoOtherSource);
  EXPECT_TRUE(alone.offsets().empty());

  // Seven samples, each seen at four looks: too few.
  Calibration few("TMRK");
  for (int i = 0; i < 28; ++i) few.look(rows(0.002 + 0.0001 * (i / 4), 2 * (i % 4), '*'));
  EXPECT_EQ(few.offsets().size(), 7u);
  EXPECT_EQ(few.result(0.105).verdict, Calibration::Verdict::TooFewSamples);

  // Samples only while the server steered the clock count.
  Calibration mixed("TMRK");
  for (int i = 0; i < 40; ++i) mixed.look(rows(0.002 + 0.0001 * (i % 3), 0, i < 20 ? '*' : '?'));
  EXPECT_EQ(mixed.offsets().size(), 20u);

  // Offsets 0.2 s apart: not a source to calibrate. Median and spread over 1, 2, ..., 9 ms.
  Calibration wide("TMRK");
  for (int i = 0; i < 10; ++i) wide.look(rows(i % 2 ? 0.2 : -0.2, 0, '*'));
  EXPECT_EQ(wide.result(0.105).verdict, Calibration::Verdict::TooWide);
  Calibration steady("TMRK");
  for (int i = 1; i <= 9; ++i) steady.look(rows(0.001 * i, 0, '*'));
  const Calibration::Result r = steady.result(0.1);
  ASSERT_EQ(r.verdict, Calibration::Verdict::Measured);
  EXPECT_NEAR(r.median, 0.005, 1e-12);
  EXPECT_NEAR(r.spread, 1.4826 * 0.002, 1e-12);  // deviations 4,3,2,1,0,1,2,3,4 ms: their median is 2
  EXPECT_NEAR(r.offset, 0.105, 1e-12);
  EXPECT_NEAR(r.tolerance, 3 * 1.2533 * r.spread / 3, 1e-12);
  EXPECT_TRUE(r.selectable);

  // An even count: the median halfway between the middle two. Spreads either side of 10 ms.
  const auto measured = [&](std::vector<double> offsets) {
    Calibration c("TMRK");
    for (const double o : offsets) c.look(rows(o, 0, '*'));
    return c.result(0.105);
  };
  EXPECT_NEAR(measured({0.001, 0.002, 0.003, 0.004, 0.005, 0.006, 0.007, 0.010}).median, 0.0045, 1e-12);
  const double step = 0.0099 / 1.4826;  // deviations of one step: a spread of 9.9 ms
  EXPECT_TRUE(measured({-step, step, -step, step, 0, -step, step, -step, step}).selectable);
  const double wider = 0.0101 / 1.4826;
  EXPECT_FALSE(measured({-wider, wider, -wider, wider, 0, -wider, wider, -wider, wider}).selectable);
}

TEST(ChainCheck, EachFaultNamesItsLinkAndTheThingToDo) {
  const Paths paths{"1234"};
  NodeFacts socket{true, true, "root", "root", 0755};
  Link l = judgeSocket(paths, socket);
  EXPECT_EQ(l.state, Link::State::Fault);
  EXPECT_EQ(l.detail, "/run/chrony.tamrik-1234.sock is root:root 0755: the bridge, in the group dialout, may not write to it");
  EXPECT_NE(l.fix.find("systemctl restart chrony"), std::string::npos);
  socket.group = "dialout";
  socket.mode = 0775;
  EXPECT_EQ(judgeSocket(paths, socket).state, Link::State::Ok);

  // The refclock line points elsewhere, or twice at the socket.
  const ConfiguredRefclock elsewhere{"/etc/chrony/conf.d/tamrik-1234.conf", *parseRefclockLine("refclock SOCK /run/chrony.other.sock")};
  l = judgeRefclock(paths, {elsewhere});
  EXPECT_EQ(l.state, Link::State::Fault);
  EXPECT_NE(l.detail.find("names /run/chrony.other.sock"), std::string::npos) << l.detail;
  ConfiguredRefclock ours{"/etc/chrony/chrony.conf", *parseRefclockLine("refclock SOCK " + paths.socket() + " refid TMRK")};
  ours.refclock.lineNumber = 40;
  EXPECT_EQ(judgeRefclock(paths, {elsewhere, ours}).state, Link::State::Ok);
  EXPECT_EQ(judgeRefclock(paths, {ours, ours}).state, Link::State::Fault);

  // chrony: the source missing, silent, or reached.
  ChronyFacts chrony;
  chrony.answered = true;
  chrony.sources = parseSources("#,?,TMRK,0,3,0,4294967295,0,0,0\n");
  EXPECT_EQ(judgeChrony(paths, chrony).state, Link::State::Fault);
  chrony.sources = parseSources("#,-,TMRK,0,3,377,3,0.0021,0.0021,0.005\n");
  chrony.stats = parseSourceStats("TMRK,20,11,160,0.1,2.0,0.0020,0.0004\n");
  l = judgeChrony(paths, chrony);
  EXPECT_EQ(l.state, Link::State::Ok);
  EXPECT_EQ(l.detail, "TMRK reach 377, last sample 3 s ago, offset +2.1 ms, spread 0.4 ms over 20 samples, not selected");
  EXPECT_EQ(judgeChrony(paths, ChronyFacts{false, "chronyc sources failed (status 1): 506 Cannot talk to daemon", {}, {}}).state,
            Link::State::Fault);

  // The bridge stopped; gpsd reading another device; gpsd not set up is no fault.
  EXPECT_EQ(judgeBridge(paths, {"loaded", "failed", "enabled"}, std::nullopt).detail, "tamrik-gps-bridge@1234.service is failed (enabled)");
  GpsdFacts gpsd{true, true, {}, "3.25", {"/dev/ttyACM0"}};
  EXPECT_EQ(judgeGpsd(paths, gpsd).state, Link::State::Fault);
  gpsd.devices.push_back(paths.pty());
  l = judgeGpsd(paths, gpsd);
  EXPECT_EQ(l.state, Link::State::Ok);
  EXPECT_NE(l.detail.find("pass no time"), std::string::npos);
  EXPECT_EQ(judgeGpsd(paths, GpsdFacts{}).state, Link::State::Skipped);

  // The unit's node closed to plugdev; an inactive bridge; a socket AppArmor does not allow.
  UnitFacts unit{true, "", "/dev/hidraw0", NodeFacts{true, false, "root", "plugdev", 0640}};
  EXPECT_EQ(judgeUnit(paths, unit).state, Link::State::Fault);
  unit.nodeFacts.mode = 0660;
  EXPECT_EQ(judgeUnit(paths, unit).state, Link::State::Ok);
  EXPECT_EQ(judgeBridge(paths, {"loaded", "inactive", "disabled"}, std::nullopt).state, Link::State::Fault);
  EXPECT_EQ(judgeAppArmor(Paths{"1234"}, AppArmorFacts{true, "enforce", ""}).state, Link::State::Ok);
  EXPECT_EQ(judgeAppArmor(paths, AppArmorFacts{true, "enforce", "operation=\"mknod\""}).state, Link::State::Fault);
  EXPECT_EQ(judgeAppArmor(paths, AppArmorFacts{false, "", ""}).state, Link::State::Note);
  // gpsd 3.23 still passed the time on; 3.24 does not.
  gpsd.release = "3.23";
  EXPECT_EQ(judgeGpsd(paths, gpsd).detail.find("pass no time"), std::string::npos);
  // Calibrated, but the spread keeps noselect: a note.
  RefclockFile calibrated;
  calibrated.serial = "1234";
  calibrated.measurement = Measurement{};
  calibrated.measurement->applied = true;
  EXPECT_EQ(judgeCalibration(*parseRefclockLine("refclock SOCK x offset 0.11 noselect"), calibrated).state, Link::State::Note);
  EXPECT_EQ(judgeCalibration(*parseRefclockLine("refclock SOCK x offset 0.11"), calibrated).state, Link::State::Ok);

  // Not calibrated is a note: the chain holds.
  const std::vector<Link> links = {judgeSocket(paths, socket), judgeCalibration(*parseRefclockLine("refclock SOCK x offset 0.105 noselect"), std::nullopt)};
  EXPECT_EQ(links[1].state, Link::State::Note);
  EXPECT_TRUE(chainHolds(links));
  EXPECT_TRUE(chainJson("1234", links).starts_with("{\"unit\":\"1234\",\"ok\":true,\"links\":[{\"link\":\"socket\",\"state\":\"ok\""))
      << chainJson("1234", links);

  // gpsd's answers: its version, the paths of its devices.
  const std::string answer =
      "{\"class\":\"VERSION\",\"release\":\"3.22\",\"rev\":\"3.22\",\"proto_major\":3,\"proto_minor\":14}\n"
      "{\"class\":\"DEVICES\",\"devices\":[{\"class\":\"DEVICE\",\"path\":\"/run/tamrik/1234/gps\",\"driver\":\"u-blox\"},"
      "{\"class\":\"DEVICE\",\"path\":\"/dev/tty\\\"x\"}]}\n";
  EXPECT_EQ(gpsdRelease(answer), "3.22");
  EXPECT_EQ(gpsdDevicePaths(answer), (std::vector<std::string>{"/run/tamrik/1234/gps", "/dev/tty\"x"}));
}

}  // namespace
}  // namespace tamrik::timeserver

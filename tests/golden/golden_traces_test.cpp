// Golden traces of the window on simulated units. Each scenario runs in virtual time and records,
// in one ordered log, every HID call (kind, handle, path, what went in and came out), every pause
// and every message box, then the window's final snapshot. The files pin the window's exchange with
// its units, so that code moved between subsystems can be shown to change nothing of it.
//
// Files: tests/golden/data/<scenario>.trace and tests/golden/data/<scenario>.json.
// After a deliberate change of behaviour, regenerate all of them with one command and review the diff:
//   TAMRIK_UPDATE_GOLDEN=1 ctest --test-dir build -L golden
//
// Trace lines, times in virtual milliseconds since the start:
//   <ms> step <what the scenario does next>
//   <ms> pause <n>ms
//   <ms> message "<title>" "<text>"
//   <ms> <kind> <handle> <path> ok|FAIL [details] [len=<n> hex=<bytes>] | [len=<n> fnv=<hash>]
// Handles are numbered h1, h2, ... in the order they first appear ("-" none, "bad" a failed open).
// Feature reports (set and got) show their bytes with trailing zeros left out; input reads show the
// number of bytes delivered and their 64-bit FNV-1a hash.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "app/snapshot_file.h"
#include "tests/support/bytes.h"
#include "tests/support/golden_file.h"
#include "tests/support/simulated_window.h"
#include "text/json_string.h"

namespace tamrik::testing {
namespace {

using namespace std::chrono_literals;
using Recorder = platform::testing::RecordingDeviceBackend;

const char* kindName(Recorder::CallKind k) {
  switch (k) {
    case Recorder::CallKind::Enumerate: return "enumerate";
    case Recorder::CallKind::Open: return "open";
    case Recorder::CallKind::Close: return "close";
    case Recorder::CallKind::Attributes: return "attributes";
    case Recorder::CallKind::String: return "string";
    case Recorder::CallKind::Capabilities: return "capabilities";
    case Recorder::CallKind::SetFeature: return "set";
    case Recorder::CallKind::GetFeature: return "get";
    case Recorder::CallKind::Read: return "read";
    case Recorder::CallKind::Pause: return "pause";
  }
  return "?";
}

std::string hex(std::span<const std::uint8_t> bytes) { return traceHex(bytes); }

std::string fnv1a(std::span<const std::uint8_t> bytes) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
  return out;
}

// The JSON snapshot with each top-level member and each control on a line of its own, so that a
// difference shows as the control that changed.
std::string splitJson(const std::string& json) {
  std::string out;
  int depth = 0;
  bool inString = false;
  auto newline = [&](int d) { out += '\n' + std::string(2 * static_cast<std::size_t>(d), ' '); };
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inString) {
      out += c;
      if (c == '\\') out += json[++i];
      else if (c == '"') inString = false;
      continue;
    }
    if ((c == '}' || c == ']') && depth-- <= 2) newline(depth);
    out += c;
    if (c == '"') inString = true;
    if (c == '{' || c == '[') {
      if (++depth <= 2) newline(depth);
    } else if (c == ',' && depth <= 2) {
      newline(depth);
    }
  }
  return out + '\n';
}

// A simulated window whose every HID call, pause and message box goes into one trace.
struct TracedWindow : SimulatedWindow {
  TracedWindow() {
    recorder.observer = [this](const Recorder::Call& c, const Recorder::Exchange& x) {
      std::string line = std::string(kindName(c.kind)) + " " + handleName(c.handle) + " " +
                         (c.path.empty() ? "-" : c.path) + (x.ok ? " ok" : " FAIL");
      if (!x.detail.empty()) line += " " + x.detail;
      if (c.kind == Recorder::CallKind::Read) {
        line += " len=" + std::to_string(x.bytes.size());
        if (!x.bytes.empty()) line += " fnv=" + fnv1a(x.bytes);
      } else if (c.kind == Recorder::CallKind::SetFeature || c.kind == Recorder::CallKind::GetFeature) {
        line += " len=" + std::to_string(x.bytes.size()) + " hex=" + hex(x.bytes);
      }
      if (c.kind == Recorder::CallKind::GetFeature && x.ok) ++readbacks[c.path];
      log(line);
    };
    onPause = [this](std::chrono::milliseconds d) { log("pause " + std::to_string(d.count()) + "ms"); };
    toolkit.whileShown = [this] {
      const auto& shown = toolkit.shown.back();
      log("message " + text::jsonString(shown.title) + " " + text::jsonString(shown.text));
    };
  }

  // The window closes its unit as it goes; that is after the trace was taken.
  ~TracedWindow() { recorder.observer = {}; }

  std::string handleName(platform::DeviceHandle h) {
    if (h == platform::kNoHandle) return "-";
    if (!platform::isValidHandle(h)) return "bad";
    const auto it = handles.try_emplace(h, handles.size() + 1).first;
    return "h" + std::to_string(it->second);
  }
  void log(const std::string& event) {
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(simClock.elapsed()).count();
    char t[32];
    std::snprintf(t, sizeof t, "%7lld.%03lld ", us / 1000, us % 1000);
    trace += t + event + '\n';
  }
  void step(const std::string& what) { log("step " + what); }
  void run(std::chrono::milliseconds d) {
    step("run " + std::to_string(d.count()) + "ms");
    runFor(d);
  }
  // Runs timer ticks until the unit's settings have been read back from it under its current path
  // (bounded), then a little more so that streaming resumes.
  void runUntilReadBack(sim::UnitId id, int maxTicks = 2000) {
    step("run until the unit is read back");
    readbacks.clear();
    for (int i = 0; i < maxTicks && readbacks[units.unit(id).path] == 0; ++i) runTicks(1);
    EXPECT_GT(readbacks[units.unit(id).path], 0) << "the unit was not read back within " << maxTicks << " ticks";
    run(300ms);
  }
  std::string snapshot() {
    return splitJson(ui::snapshotJson(model(), {{"recorded_clock", recordedClockJson(clock.requests)}}));
  }

  std::string trace;
  std::map<platform::DeviceHandle, std::size_t> handles;
  std::map<std::string, int> readbacks;  // successful feature-report reads per path
};

// Compares a run with its golden file, or rewrites the file when TAMRIK_UPDATE_GOLDEN is set.
void checkGolden(const std::string& file, const std::string& actual) {
  checkGoldenFile(std::string(TAMRIK_SOURCE_DIR) + "/tests/golden/data/" + file, actual);
}

void runScenario(const std::string& name, const std::function<void(TracedWindow&)>& scenario) {
  TracedWindow w;
  scenario(w);
  checkGolden(name + ".trace", w.trace);
  checkGolden(name + ".json", w.snapshot());
}

// Two units, the second one opened; long enough for the receiver to find its fix and the drift
// report to go to the unit.
TEST(GoldenTrace, StartUp) {
  runScenario("startup", [](TracedWindow& w) {
    w.addUnit(u"A00001");
    w.addUnit(u"B00002");
    w.step("Load");
    w.frm.Load();
    w.run(9s);
  });
}

TEST(GoldenTrace, UnitSwitch) {
  runScenario("unit_switch", [](TracedWindow& w) {
    w.addUnit(u"A00001");
    w.addUnit(u"B00002");
    w.frm.Load();
    w.run(500ms);
    w.step("choose the first unit in SerNo");
    w.model().setSelected("SerNo", 0);
    w.frm.click("SerNo");
    w.run(1s);
  });
}

// A request with an exact divider set, searched and programmed; then one divider box edited and
// sent with SetFreq.
TEST(GoldenTrace, Update) {
  runScenario("update", [](TracedWindow& w) {
    w.addUnit(u"A00001");
    w.addUnit(u"B00002");
    w.frm.Load();
    w.run(500ms);
    w.step("type 12345678 in Out1Freq, Enter");
    w.model().setText("Out1Freq", "12345678");
    w.frm.keyPress("Out1Freq", 13);
    w.run(1s);
    w.step("type 47 in NC1_LS, click SetFreq");
    w.model().setText("NC1_LS", "47");
    w.frm.click("SetFreq");
    w.run(1s);
  });
}

// The unit takes a new serial, re-enumerates under it and is opened again by the poller. (With a
// second unit attached the poller would open that one while this one re-enumerates.)
TEST(GoldenTrace, SerialChange) {
  runScenario("serial_change", [](TracedWindow& w) {
    const auto a = w.addUnit(u"A00001");
    w.frm.Load();
    w.run(500ms);
    w.step("type Q00099 in SN, click SetSN");
    w.model().setText("SN", "Q00099");
    w.frm.click("SetSN");
    w.runUntilReadBack(a);
    EXPECT_EQ(w.units.unit(a).serial, u"Q00099");
  });
}

// The only unit is pulled in the middle of the stream and plugged in again. The pull is scheduled in
// the simulation, so it lands between two reads; the trace shows it when the simulation next runs.
TEST(GoldenTrace, LinkLoss) {
  runScenario("link_loss", [](TracedWindow& w) {
    const auto a = w.addUnit(u"A00001");
    w.units.schedule(1237ms, [&w, a] {
      w.step("unplug the unit");
      w.units.unplug(a);
    });
    w.frm.Load();
    w.run(2s);
    w.step("replug the unit");
    w.units.replug(a);
    w.runUntilReadBack(a);
  });
}

// The open unit of three is pulled: the poller goes on with another one.
TEST(GoldenTrace, LinkLossWithOtherUnits) {
  runScenario("link_loss_failover", [](TracedWindow& w) {
    w.addUnit(u"A00001");
    const auto b = w.addUnit(u"B00002");
    const auto c = w.addUnit(u"C00003");
    w.frm.Load();
    w.run(500ms);
    w.step("unplug the open unit");
    w.units.unplug(c);
    w.runUntilReadBack(b);
  });
}

}  // namespace
}  // namespace tamrik::testing

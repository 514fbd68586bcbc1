#pragma once
// A main window on attached fake units, without a display: the units answer the settings readback
// with a settings report the test chooses, every device call is recorded, pauses are virtual and
// message boxes are answered from a queue.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/frm_main.h"
#include "platform/host_kernel.h"
#include "platform/testing/headless_toolkit.h"
#include "platform/testing/recording_device_backend.h"
#include "platform/testing/recording_services.h"

namespace tamrik::testing {

// The settings report of a unit set to the default divider set (2875000, 3, 11, 480, 11, 46, 46),
// BW 9, output on, 8mA.
inline std::vector<std::uint8_t> defaultSettingsReport() {
  return {0x00, 0x01, 0x00, 0x78, 0xDE, 0x2B, 0x02, 0x00, 0x00, 0x07, 0xDF,
          0x01, 0x00, 0x07, 0x2D, 0x00, 0x00, 0x2D, 0x00, 0x00, 0x00, 0x09};
}

// Tamrik units that take every feature report, answer the readback from `settings`, and take a
// programmed serial number at once (the old handles go stale, as after a re-enumeration).
class FakeUnits final : public platform::DeviceBackend {
 public:
  struct Unit {
    std::u16string serial;
    int featureReportLength = 65;
    std::uint16_t version = 0x0120;
    std::vector<std::uint8_t> settings = defaultSettingsReport();
    bool attached = true;
    int generation = 0;
  };

  std::size_t add(std::u16string serial) {
    units.push_back(Unit{std::move(serial)});
    return units.size() - 1;
  }
  void unplug(std::size_t unit) {
    units[unit].attached = false;
    ++units[unit].generation;
  }

  std::vector<std::string> hidInterfacePaths() override {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < units.size(); ++i)
      if (units[i].attached) paths.push_back("fake:" + std::to_string(i));
    return paths;
  }
  platform::DeviceHandle open(const std::string& path, platform::OpenMode) override {
    for (std::size_t i = 0; i < units.size(); ++i) {
      if (units[i].attached && path == "fake:" + std::to_string(i)) {
        handles_[next_] = {i, units[i].generation};
        return next_++;
      }
    }
    return platform::kInvalidHandle;
  }
  bool close(platform::DeviceHandle h) override { return handles_.erase(h) > 0; }
  std::optional<platform::HidAttributes> attributes(platform::DeviceHandle h) override {
    const Unit* u = live(h);
    if (!u) return std::nullopt;
    return platform::HidAttributes{0x1DD2, 0x2211, u->version};
  }
  std::optional<std::u16string> string(platform::DeviceHandle h, platform::HidString which, std::size_t) override {
    const Unit* u = live(h);
    if (!u) return std::nullopt;
    if (which == platform::HidString::SerialNumber) return u->serial;
    return which == platform::HidString::Manufacturer ? u"Tamrik" : u"Fake unit";
  }
  std::optional<platform::HidCapabilities> capabilities(platform::DeviceHandle h) override {
    const Unit* u = live(h);
    if (!u) return std::nullopt;
    return platform::HidCapabilities{65, u->featureReportLength};
  }
  bool setFeature(platform::DeviceHandle h, std::span<const std::uint8_t> r) override {
    Unit* u = live(h);
    if (!u) return false;
    if (r.size() > 8 && r[1] == 0x53 && r[2] == 0x4E) {
      u->serial.assign(r.begin() + 3, r.begin() + 9);
      ++u->generation;
    }
    return true;
  }
  bool getFeature(platform::DeviceHandle h, std::span<std::uint8_t> r) override {
    const Unit* u = live(h);
    if (!u) return false;
    std::fill(r.begin(), r.end(), 0);
    std::copy_n(u->settings.begin(), std::min(r.size(), u->settings.size()), r.begin());
    return true;
  }
  platform::InputReadResult readInputReports(platform::DeviceHandle h, std::span<std::uint8_t>,
                                             std::chrono::milliseconds) override {
    return {live(h) != nullptr, 0};
  }

  std::vector<Unit> units;

 private:
  Unit* live(platform::DeviceHandle h) {
    auto it = handles_.find(h);
    if (it == handles_.end()) return nullptr;
    Unit& u = units[it->second.first];
    return u.attached && u.generation == it->second.second ? &u : nullptr;
  }
  std::map<platform::DeviceHandle, std::pair<std::size_t, int>> handles_;
  platform::DeviceHandle next_ = 1;
};

// FrmMain over fake units. Construct, add units, then load().
struct WindowHarness {
  explicit WindowHarness(ui::NumberFormat format = ui::NumberFormat::point()) : frm(platform, std::move(format)) {}

  // Starts the window on the units added so far and forgets the start-up's device traffic.
  void load() {
    frm.Load();
    recorder.clear();
  }
  ui::WindowModel& model() { return frm.model(); }
  WindowState& state() { return frm.state(); }
  const std::string& text(const std::string& control) { return model().at(control).text; }
  void type(const std::string& control, const std::string& text) { model().setText(control, text); }

  // Every feature report sent, as bytes.
  std::vector<std::vector<std::uint8_t>> sent() const {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& r : recorder.featureReports) out.push_back(r.bytes);
    return out;
  }
  std::vector<std::vector<std::uint8_t>> sentWith(std::uint8_t code) const {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& r : recorder.sentWithCommand(code)) out.push_back(r.bytes);
    return out;
  }

  // What the poll does once it finds no open unit: list the units again, open the one shown and
  // read it back.
  void reconnect() {
    auto& link = frm.deviceLink();
    state().flags.SettingsLoaded = false;
    link.Scan_USB_devices();
    state().link.Connected = link.FindTheHid();
    link.ReadUnitSettings();
  }

  FakeUnits units;
  platform::testing::RecordingDeviceBackend recorder{units};
  platform::testing::RecordingClock clock;
  platform::testing::VirtualSleeper sleeper;
  platform::HostKernel kernel{recorder, clock, std::ref(sleeper)};
  platform::testing::RecordingShell shell;
  platform::testing::HeadlessToolkit toolkit;
  platform::Platform platform{recorder, recorder, kernel, shell, toolkit};
  FrmMain frm;
};

// A 65-byte frame: report ID 0, the command code, then the given bytes, then zeros.
inline std::vector<std::uint8_t> frame65(std::uint8_t code, std::vector<std::uint8_t> payload = {}) {
  std::vector<std::uint8_t> f(65, 0);
  f[1] = code;
  std::copy(payload.begin(), payload.end(), f.begin() + 2);
  return f;
}

}  // namespace tamrik::testing

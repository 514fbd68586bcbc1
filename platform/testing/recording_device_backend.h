#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/device_backend.h"

namespace tamrik::platform::testing {

// Wraps a device backend and records every call that reaches a device, with the bytes of every
// feature report sent, so that tests can assert exact frames and their order. Pauses the program
// takes can be noted in the same log, and chosen string requests can be made to fail.
class RecordingDeviceBackend final : public DeviceBackend {
 public:
  struct FeatureReport {
    DeviceHandle handle;
    std::string path;                 // the path the handle was opened from
    std::vector<std::uint8_t> bytes;  // exactly the bytes sent
  };
  enum class CallKind { Enumerate, Open, Close, Attributes, String, Capabilities, SetFeature, GetFeature, Read, Pause };
  struct Call {
    CallKind kind;
    DeviceHandle handle;
    std::string path;
    // String: the HidString asked for; SetFeature: the command code (byte 1); Pause: milliseconds.
    long long detail;
  };

  explicit RecordingDeviceBackend(DeviceBackend& inner) : inner_(inner) {}

  std::vector<std::string> hidInterfacePaths() override {
    calls.push_back({CallKind::Enumerate, kNoHandle, {}, 0});
    return inner_.hidInterfacePaths();
  }
  DeviceHandle open(const std::string& path, OpenMode mode) override {
    const DeviceHandle h = inner_.open(path, mode);
    calls.push_back({CallKind::Open, h, path, 0});
    if (isValidHandle(h)) {
      paths_[h] = path;
      ++openHandles;
    }
    return h;
  }
  bool close(DeviceHandle handle) override {
    calls.push_back({CallKind::Close, handle, pathOf(handle), 0});
    const bool ok = inner_.close(handle);
    if (ok) --openHandles;
    return ok;
  }
  std::optional<HidAttributes> attributes(DeviceHandle device) override {
    calls.push_back({CallKind::Attributes, device, pathOf(device), 0});
    return inner_.attributes(device);
  }
  std::optional<std::u16string> string(DeviceHandle device, HidString which, std::size_t maxBytes) override {
    calls.push_back({CallKind::String, device, pathOf(device), static_cast<long long>(which)});
    if (failingStrings.contains(which)) return std::nullopt;
    return inner_.string(device, which, maxBytes);
  }
  std::optional<HidCapabilities> capabilities(DeviceHandle device) override {
    calls.push_back({CallKind::Capabilities, device, pathOf(device), 0});
    return inner_.capabilities(device);
  }
  bool setFeature(DeviceHandle device, std::span<const std::uint8_t> report) override {
    calls.push_back({CallKind::SetFeature, device, pathOf(device), report.size() > 1 ? report[1] : -1});
    featureReports.push_back({device, pathOf(device), {report.begin(), report.end()}});
    return inner_.setFeature(device, report);
  }
  bool getFeature(DeviceHandle device, std::span<std::uint8_t> report) override {
    calls.push_back({CallKind::GetFeature, device, pathOf(device), 0});
    return inner_.getFeature(device, report);
  }
  InputReadResult readInputReports(DeviceHandle device, std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds firstReportTimeout) override {
    calls.push_back({CallKind::Read, device, pathOf(device), 0});
    return inner_.readInputReports(device, buffer, firstReportTimeout);
  }

  // A pause of the program (the kernel's sleep), noted in the call log where it happened.
  void pause(std::chrono::milliseconds d) { calls.push_back({CallKind::Pause, kNoHandle, {}, d.count()}); }

  // Feature reports sent with the given command code (byte 1).
  std::vector<FeatureReport> sentWithCommand(std::uint8_t code) const {
    std::vector<FeatureReport> out;
    for (const auto& r : featureReports) {
      if (r.bytes.size() > 1 && r.bytes[1] == code) out.push_back(r);
    }
    return out;
  }
  std::size_t count(CallKind kind) const {
    std::size_t n = 0;
    for (const auto& c : calls) n += c.kind == kind;
    return n;
  }
  void clear() {
    featureReports.clear();
    calls.clear();
  }

  std::vector<FeatureReport> featureReports;
  std::vector<Call> calls;
  int openHandles = 0;
  std::set<HidString> failingStrings;  // string requests that fail, as on a unit without them

 private:
  std::string pathOf(DeviceHandle h) const {
    auto it = paths_.find(h);
    return it == paths_.end() ? std::string() : it->second;
  }
  DeviceBackend& inner_;
  std::map<DeviceHandle, std::string> paths_;
};

}  // namespace tamrik::platform::testing

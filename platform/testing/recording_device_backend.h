#pragma once
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <set>
#include <string>
#include <vector>

#include "platform/device_backend.h"

namespace tamrik::platform::testing {

// Wraps a device backend and records every call that reaches a device, with the bytes of every
// feature report sent, so that tests can assert exact frames and their order. Pauses the program
// takes can be noted in the same log, and chosen string requests can be made to fail. An observer,
// when set, also sees what each call carried in and out (a trace of the whole exchange).
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
  // What a call carried besides its kind, handle and path. Handed to the observer as the call
  // returns and not kept, since input reads can be large.
  struct Exchange {
    bool ok = false;                        // Open: a valid handle came back
    std::span<const std::uint8_t> bytes;    // SetFeature: sent; GetFeature: got; Read: delivered
    std::string detail;                     // the other arguments and results, as plain text
  };
  using Observer = std::function<void(const Call&, const Exchange&)>;

  explicit RecordingDeviceBackend(DeviceBackend& inner) : inner_(inner) {}

  std::vector<HidInterface> hidInterfaces() override {
    calls.push_back({CallKind::Enumerate, kNoHandle, {}, 0});
    auto interfaces = inner_.hidInterfaces();
    if (observer) {
      std::string list;
      for (const auto& i : interfaces) list += (list.empty() ? "" : " ") + i.path;
      notify(true, {}, "[" + list + "]");
    }
    return interfaces;
  }
  DeviceHandle open(const std::string& path, OpenMode mode) override {
    const DeviceHandle h = inner_.open(path, mode);
    calls.push_back({CallKind::Open, h, path, 0});
    if (isValidHandle(h)) {
      paths_[h] = path;
      ++openHandles;
    }
    if (observer) notify(isValidHandle(h), {}, mode == OpenMode::Plain ? "plain" : "overlapped");
    return h;
  }
  OpenFailure lastOpenFailure() override { return inner_.lastOpenFailure(); }
  std::string lastError(DeviceHandle device) override { return inner_.lastError(device); }
  bool lastRequestUnanswered(DeviceHandle device) override { return inner_.lastRequestUnanswered(device); }
  bool close(DeviceHandle handle) override {
    calls.push_back({CallKind::Close, handle, pathOf(handle), 0});
    const bool ok = inner_.close(handle);
    if (ok) --openHandles;
    if (observer) notify(ok, {}, {});
    return ok;
  }
  std::optional<HidAttributes> attributes(DeviceHandle device) override {
    calls.push_back({CallKind::Attributes, device, pathOf(device), 0});
    auto a = inner_.attributes(device);
    if (observer) {
      char text[48] = "";
      if (a) {
        std::snprintf(text, sizeof text, "vid=%04x pid=%04x version=%04x", a->vendorId, a->productId,
                      a->versionNumber);
      }
      notify(a.has_value(), {}, text);
    }
    return a;
  }
  std::optional<std::u16string> string(DeviceHandle device, HidString which, std::size_t maxBytes) override {
    calls.push_back({CallKind::String, device, pathOf(device), static_cast<long long>(which)});
    auto s = failingStrings.contains(which) ? std::nullopt : inner_.string(device, which, maxBytes);
    if (observer) {
      const char* name = which == HidString::Manufacturer ? "manufacturer"
                         : which == HidString::Product    ? "product"
                                                          : "serial";
      std::string text = std::string(name) + " max=" + std::to_string(maxBytes);
      if (s) text += " \"" + escaped(*s) + "\"";
      notify(s.has_value(), {}, text);
    }
    return s;
  }
  std::optional<HidCapabilities> capabilities(DeviceHandle device) override {
    calls.push_back({CallKind::Capabilities, device, pathOf(device), 0});
    auto c = inner_.capabilities(device);
    if (observer) {
      notify(c.has_value(), {},
             c ? "input=" + std::to_string(c->inputReportLength) + " feature=" + std::to_string(c->featureReportLength)
               : std::string());
    }
    return c;
  }
  bool setFeature(DeviceHandle device, std::span<const std::uint8_t> report) override {
    calls.push_back({CallKind::SetFeature, device, pathOf(device), report.size() > 1 ? report[1] : -1});
    featureReports.push_back({device, pathOf(device), {report.begin(), report.end()}});
    const bool ok = inner_.setFeature(device, report);
    if (observer) notify(ok, report, {});
    return ok;
  }
  std::optional<std::size_t> getFeature(DeviceHandle device, std::span<std::uint8_t> report) override {
    calls.push_back({CallKind::GetFeature, device, pathOf(device), 0});
    const auto got = inner_.getFeature(device, report);
    if (observer) notify(got.has_value(), report.first(got ? std::min(*got, report.size()) : 0), {});
    return got;
  }
  InputReadResult readInputReports(DeviceHandle device, std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds firstReportTimeout) override {
    calls.push_back({CallKind::Read, device, pathOf(device), 0});
    const InputReadResult r = inner_.readInputReports(device, buffer, firstReportTimeout);
    if (observer) {
      notify(r.ok, buffer.first(std::min(r.bytes, buffer.size())),
             "buffer=" + std::to_string(buffer.size()) + " timeout=" + std::to_string(firstReportTimeout.count()) +
                 "ms");
    }
    return r;
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
  Observer observer;
  std::set<HidString> failingStrings;  // string requests that fail, as on a unit without them

 private:
  void notify(bool ok, std::span<const std::uint8_t> bytes, std::string detail) {
    observer(calls.back(), Exchange{ok, bytes, std::move(detail)});
  }
  // Device strings as ASCII: quotes, backslashes and anything outside printable ASCII escaped.
  static std::string escaped(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
      if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
        out += static_cast<char>(c);
      } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
        out += buf;
      }
    }
    return out;
  }
  std::string pathOf(DeviceHandle h) const {
    auto it = paths_.find(h);
    return it == paths_.end() ? std::string() : it->second;
  }
  DeviceBackend& inner_;
  std::map<DeviceHandle, std::string> paths_;
};

}  // namespace tamrik::platform::testing

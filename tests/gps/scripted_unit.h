#pragma once
#include <chrono>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "platform/device_backend.h"

namespace tamrik::gps::testing {

// One attached unit whose input reads return exactly what the test queued, read by read, so a test
// decides how reports are cut and when the unit is silent or gone.
class ScriptedUnit final : public platform::DeviceBackend {
 public:
  static constexpr const char* kPath = "scripted:0";

  int inputReportLength = 16;
  int featureReportLength = 65;
  bool attached = true;
  std::deque<std::vector<std::uint8_t>> reads;  // an empty queue reads as a silent unit
  std::vector<std::chrono::milliseconds> readTimeouts;
  int enumerations = 0;

  // Pulls the plug: every open handle becomes invalid.
  void unplug() {
    attached = false;
    open_.clear();
  }
  int openHandles() const { return static_cast<int>(open_.size()); }

  std::vector<std::string> hidInterfacePaths() override {
    ++enumerations;
    if (!attached) return {};
    return {kPath};
  }
  platform::DeviceHandle open(const std::string& path, platform::OpenMode) override {
    if (!attached || path != kPath) return platform::kInvalidHandle;
    open_.insert(++next_);
    return next_;
  }
  bool close(platform::DeviceHandle h) override { return open_.erase(h) > 0; }
  std::optional<platform::HidAttributes> attributes(platform::DeviceHandle h) override {
    if (!open_.count(h)) return std::nullopt;
    return platform::HidAttributes{0x1DD2, 0x2211, 0x0120};
  }
  std::optional<std::u16string> string(platform::DeviceHandle h, platform::HidString, std::size_t) override {
    if (!open_.count(h)) return std::nullopt;
    return u"GPS1";
  }
  std::optional<platform::HidCapabilities> capabilities(platform::DeviceHandle h) override {
    if (!open_.count(h)) return std::nullopt;
    return platform::HidCapabilities{inputReportLength, featureReportLength};
  }
  bool setFeature(platform::DeviceHandle h, std::span<const std::uint8_t> report) override {
    if (!open_.count(h)) return false;
    sent.emplace_back(report.begin(), report.end());
    return true;
  }
  bool getFeature(platform::DeviceHandle h, std::span<std::uint8_t>) override { return open_.count(h) > 0; }
  platform::InputReadResult readInputReports(platform::DeviceHandle h, std::span<std::uint8_t> buffer,
                                             std::chrono::milliseconds timeout) override {
    readTimeouts.push_back(timeout);
    if (!open_.count(h)) return {false, 0};
    if (reads.empty()) return {true, 0};
    const auto chunk = std::move(reads.front());
    reads.pop_front();
    const std::size_t n = std::min(chunk.size(), buffer.size());
    std::memcpy(buffer.data(), chunk.data(), n);
    return {true, n};
  }

  // Feature reports sent with a command code.
  std::vector<std::vector<std::uint8_t>> sentWith(std::uint8_t code) const {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& r : sent)
      if (r.size() > 1 && r[1] == code) out.push_back(r);
    return out;
  }
  std::vector<std::vector<std::uint8_t>> sent;

 private:
  std::set<platform::DeviceHandle> open_;
  platform::DeviceHandle next_ = 0;
};

}  // namespace tamrik::gps::testing

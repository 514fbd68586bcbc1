#include "tests/vm/virtual_unit/virtual_unit.h"

#include "tests/support/bytes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace tamrik::vm {

namespace {

// Standard requests.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kSetAddress = 0x05;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;

// HID class requests.
constexpr std::uint8_t kGetReport = 0x01;
constexpr std::uint8_t kGetIdle = 0x02;
constexpr std::uint8_t kGetProtocol = 0x03;
constexpr std::uint8_t kSetReport = 0x09;
constexpr std::uint8_t kSetIdle = 0x0A;
constexpr std::uint8_t kSetProtocol = 0x0B;
constexpr std::uint8_t kFeatureReportType = 3;

using Reply = VirtualUnit::ControlReply;
using Outcome = VirtualUnit::Outcome;

Reply done(std::vector<std::uint8_t> data = {}) { return Reply{Outcome::Done, std::move(data)}; }
Reply stall() { return Reply{Outcome::Stall, {}}; }

// As the golden traces write a feature report.
// As the golden files write a feature report: its length with the report ID byte, and its bytes.
std::string frameHex(std::span<const std::uint8_t> bytes) {
  return "len=" + std::to_string(bytes.size()) + " hex=" + tamrik::testing::traceHex(bytes);
}

}  // namespace

VirtualUnit::VirtualUnit(sim::SimulatedUnits& units, sim::UnitId id, std::ofstream* frames)
    : units_(units), id_(id), frames_(frames) {}

VirtualUnit::~VirtualUnit() { closeHandles(); }

std::optional<std::string> VirtualUnit::attachment() {
  // The simulation holds this one unit: what its host lists is the unit while it is plugged in.
  const auto list = units_.hidInterfaces();
  if (list.empty()) return std::nullopt;
  return list.front().path;
}

DeviceIdentity VirtualUnit::identity() {
  const sim::UnitView v = units_.unit(id_);
  DeviceIdentity id;
  id.vendorId = v.config.vendorId;
  id.productId = v.config.productId;
  id.release = v.config.firmwareVersion;
  id.manufacturer = v.config.manufacturer;
  id.product = v.config.product;
  id.serial = v.serial;
  id.serialReadable = v.config.serialReadable;
  id.inputReportLength = v.config.inputReportLength;
  id.featureReportLength = v.config.featureReportLength;
  id.reportInterval = v.config.reportInterval;
  return id;
}

bool VirtualUnit::answersFeatureRequests() { return units_.unit(id_).config.answersFeatureRequests; }

void VirtualUnit::unplug() { units_.unplug(id_); }

void VirtualUnit::plugIn() { units_.replug(id_); }

void VirtualUnit::setAnswering(bool answers) { units_.setAnswersFeatureRequests(id_, answers); }

void VirtualUnit::closeHandles() {
  for (platform::DeviceHandle* h : {&featureHandle_, &inputHandle_}) {
    if (platform::isValidHandle(*h)) units_.close(*h);
    *h = platform::kNoHandle;
  }
}

void VirtualUnit::reset() {
  closeHandles();
  configuration_ = 0;
  idleRate_ = 0;
}

platform::DeviceHandle VirtualUnit::handle(platform::DeviceHandle& slot) {
  const auto path = attachment();
  if (!path) {
    closeHandles();
    return platform::kInvalidHandle;
  }
  if (*path != path_) {
    closeHandles();
    path_ = *path;
  }
  if (!platform::isValidHandle(slot)) slot = units_.open(path_, platform::OpenMode::Overlapped);
  return slot;
}

Reply VirtualUnit::control(const SetupPacket& s, std::span<const std::uint8_t> data) {
  if (s.type() == 0) return standard(s);
  if (s.type() == 1 && s.recipient() == 1 && (s.index & 0xFF) == 0) return hidClass(s, data);
  return stall();
}

Reply VirtualUnit::standard(const SetupPacket& s) {
  switch (s.request) {
    case kGetDescriptor: {
      const DeviceIdentity id = identity();
      const auto type = static_cast<std::uint8_t>(s.value >> 8);
      const auto index = static_cast<std::uint8_t>(s.value & 0xFF);
      if (s.recipient() == 0) {
        if (type == kDeviceDescriptor) return done(deviceDescriptor(id));
        if (type == kConfigurationDescriptor && index == 0) return done(configurationDescriptor(id));
        if (type == kStringDescriptor) {
          if (auto d = stringDescriptor(id, index)) return done(std::move(*d));
        }
        // No device qualifier, no other speed: a full-speed device.
        return stall();
      }
      if (s.recipient() == 1 && s.index == 0) {
        if (type == kHidDescriptor) return done(hidDescriptor(id));
        if (type == kReportDescriptor) return done(reportDescriptor(id));
      }
      return stall();
    }
    case kGetStatus:
      if (s.recipient() > 2) return stall();
      return done({0, 0});  // bus-powered, no wake-up, no endpoint halted
    case kClearFeature:
    case kSetFeature:
    case kSetAddress:
      return done();
    case kGetConfiguration:
      return done({configuration_});
    case kSetConfiguration:
      if (s.value > kConfigurationValue) return stall();
      configuration_ = static_cast<std::uint8_t>(s.value);
      return done();
    case kGetInterface:
      return s.index == 0 ? done({0}) : stall();
    case kSetInterface:
      return s.index == 0 && s.value == 0 ? done() : stall();
    default:
      return stall();
  }
}

Reply VirtualUnit::hidClass(const SetupPacket& s, std::span<const std::uint8_t> data) {
  const auto reportType = static_cast<std::uint8_t>(s.value >> 8);
  const auto reportId = static_cast<std::uint8_t>(s.value & 0xFF);
  switch (s.request) {
    case kSetIdle:
      idleRate_ = reportType;
      return done();
    case kGetIdle:
      return done({idleRate_});
    case kGetProtocol:
      return done({1});  // report protocol
    case kSetProtocol:
      return done();
    case kGetReport: {
      if (reportType != kFeatureReportType || reportId != 0) return stall();
      if (!answersFeatureRequests()) return Reply{Outcome::Hold, {}};
      const platform::DeviceHandle h = handle(featureHandle_);
      const auto caps = platform::isValidHandle(h) ? units_.capabilities(h) : std::nullopt;
      if (!caps || caps->featureReportLength < 1) return stall();
      std::vector<std::uint8_t> report(static_cast<std::size_t>(caps->featureReportLength), 0);
      const auto got = units_.getFeature(h, report);
      if (!got || *got < 1) return stall();
      // The wire carries no report ID byte.
      std::vector<std::uint8_t> wire(report.begin() + 1, report.begin() + static_cast<std::ptrdiff_t>(*got));
      return done(std::move(wire));
    }
    case kSetReport: {
      if (reportType != kFeatureReportType || reportId != 0) return stall();
      if (!answersFeatureRequests()) return Reply{Outcome::Hold, {}};
      const platform::DeviceHandle h = handle(featureHandle_);
      if (!platform::isValidHandle(h)) return stall();
      std::vector<std::uint8_t> report{0};
      report.insert(report.end(), data.begin(), data.end());
      if (frames_) {
        *frames_ << frameHex(report) << '\n';
        frames_->flush();
      }
      return units_.setFeature(h, report) ? done() : stall();
    }
    default:
      return stall();
  }
}

std::optional<std::vector<std::uint8_t>> VirtualUnit::inputReport() {
  const platform::DeviceHandle h = handle(inputHandle_);
  const auto caps = platform::isValidHandle(h) ? units_.capabilities(h) : std::nullopt;
  if (!caps || caps->inputReportLength < 1) return std::nullopt;
  std::vector<std::uint8_t> report(static_cast<std::size_t>(caps->inputReportLength), 0);
  const auto read = units_.readInputReports(h, report, std::chrono::milliseconds(0));
  if (!read.ok || read.bytes < report.size()) return std::nullopt;
  return std::vector<std::uint8_t>(report.begin() + 1, report.end());
}

void VirtualUnit::stopInput() {
  if (platform::isValidHandle(inputHandle_)) units_.close(inputHandle_);
  inputHandle_ = platform::kNoHandle;
}

}  // namespace tamrik::vm

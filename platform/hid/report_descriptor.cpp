#include "platform/hid/report_descriptor.h"

#include <array>
#include <vector>

namespace tamrik::platform {

namespace {

// Limits a descriptor must stay within. The Linux HID core refuses larger report sizes and counts,
// so no device that gets a hidraw node exceeds them; the stack depths are generous bounds.
constexpr std::uint32_t kMaxReportSizeBits = 256;
constexpr std::uint32_t kMaxReportCount = 12288;
constexpr std::uint32_t kMaxReportDataBits = (kMaxReportBytes - 1) * 8u;
constexpr std::size_t kMaxGlobalStackDepth = 16;
constexpr int kMaxCollectionDepth = 64;

enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };

enum MainTag : std::uint8_t {
  kInput = 0x8,
  kOutput = 0x9,
  kCollection = 0xA,
  kFeature = 0xB,
  kEndCollection = 0xC,
};

enum GlobalTag : std::uint8_t {
  kUsagePage = 0x0,
  kLogicalMinimum = 0x1,
  kLogicalMaximum = 0x2,
  kPhysicalMinimum = 0x3,
  kPhysicalMaximum = 0x4,
  kUnitExponent = 0x5,
  kUnit = 0x6,
  kReportSize = 0x7,
  kReportId = 0x8,
  kReportCount = 0x9,
  kPush = 0xA,
  kPop = 0xB,
};

constexpr std::uint8_t kLongItemPrefix = 0xFE;

// The part of the global state that decides report layout.
struct GlobalState {
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;
};

enum ReportKind { kInputReport, kOutputReport, kFeatureReport, kReportKinds };

ReportDescriptorResult failure(std::string message, std::size_t offset) {
  ReportDescriptorResult r;
  r.error = std::move(message);
  r.errorOffset = offset;
  return r;
}

int lengthOf(const std::array<std::uint32_t, 256>& bitsPerId) {
  std::uint32_t longest = 0;
  for (std::uint32_t bits : bitsPerId) longest = bits > longest ? bits : longest;
  if (longest == 0) return 0;
  return static_cast<int>((longest + 7) / 8) + 1;
}

}  // namespace

ReportDescriptorResult parseReportDescriptor(std::span<const std::uint8_t> d) {
  if (d.empty()) return failure("empty report descriptor", 0);
  if (d.size() > kMaxReportDescriptorBytes) return failure("report descriptor too long", 0);

  GlobalState global;
  std::vector<GlobalState> stack;
  int collectionDepth = 0;
  bool sawReportIdItem = false;
  bool sawUnnumberedData = false;
  // Data bits declared so far per report type and report ID (0 for a device without IDs).
  std::array<std::array<std::uint32_t, 256>, kReportKinds> bits{};

  std::size_t pos = 0;
  while (pos < d.size()) {
    const std::size_t itemStart = pos;
    const std::uint8_t prefix = d[pos];

    if (prefix == kLongItemPrefix) {
      // Long items carry their own size byte and define nothing that affects report layout.
      if (d.size() - pos < 3) return failure("truncated long item", itemStart);
      const std::size_t dataSize = d[pos + 1];
      if (d.size() - pos - 3 < dataSize) return failure("truncated long item", itemStart);
      pos += 3 + dataSize;
      continue;
    }

    static constexpr std::size_t kDataSizes[4] = {0, 1, 2, 4};
    const std::size_t dataSize = kDataSizes[prefix & 0x3];
    const auto type = static_cast<ItemType>((prefix >> 2) & 0x3);
    const std::uint8_t tag = prefix >> 4;
    if (d.size() - pos - 1 < dataSize) return failure("truncated item", itemStart);
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < dataSize; ++i) value |= static_cast<std::uint32_t>(d[pos + 1 + i]) << (8 * i);
    pos += 1 + dataSize;

    if (type == kGlobal) {
      switch (tag) {
        case kReportSize:
          if (value > kMaxReportSizeBits) return failure("report size too large", itemStart);
          global.reportSize = value;
          break;
        case kReportCount:
          if (value > kMaxReportCount) return failure("report count too large", itemStart);
          global.reportCount = value;
          break;
        case kReportId:
          if (value == 0 || value > 255) return failure("invalid report ID", itemStart);
          if (sawUnnumberedData) return failure("report ID after reports without one", itemStart);
          sawReportIdItem = true;
          global.reportId = value;
          break;
        case kPush:
          if (stack.size() >= kMaxGlobalStackDepth) return failure("push stack overflow", itemStart);
          stack.push_back(global);
          break;
        case kPop:
          if (stack.empty()) return failure("pop without push", itemStart);
          global = stack.back();
          stack.pop_back();
          break;
        case kUsagePage:
        case kLogicalMinimum:
        case kLogicalMaximum:
        case kPhysicalMinimum:
        case kPhysicalMaximum:
        case kUnitExponent:
        case kUnit:
          break;
        default:
          return failure("unknown global item", itemStart);
      }
    } else if (type == kMain) {
      ReportKind kind = kReportKinds;
      switch (tag) {
        case kInput: kind = kInputReport; break;
        case kOutput: kind = kOutputReport; break;
        case kFeature: kind = kFeatureReport; break;
        case kCollection:
          if (++collectionDepth > kMaxCollectionDepth) return failure("collections nested too deep", itemStart);
          break;
        case kEndCollection:
          if (collectionDepth == 0) return failure("end collection without collection", itemStart);
          --collectionDepth;
          break;
        default:
          break;  // reserved main items carry no data fields
      }
      if (kind != kReportKinds) {
        const std::uint32_t itemBits = global.reportSize * global.reportCount;  // <= 256 * 12288
        if (itemBits > 0) {
          if (global.reportId == 0) {
            if (sawReportIdItem) return failure("report without ID in a descriptor with IDs", itemStart);
            sawUnnumberedData = true;
          }
          std::uint32_t& total = bits[kind][global.reportId];
          if (itemBits > kMaxReportDataBits - total) return failure("report too long", itemStart);
          total += itemBits;
        }
      }
    }
    // Local items only name usages, and reserved items are skipped like the HID core does.
  }

  if (collectionDepth != 0) return failure("collection not closed", d.size());

  ReportDescriptorResult r;
  r.info = ReportDescriptorInfo{
      .inputReportLength = lengthOf(bits[kInputReport]),
      .outputReportLength = lengthOf(bits[kOutputReport]),
      .featureReportLength = lengthOf(bits[kFeatureReport]),
      .usesReportIds = sawReportIdItem,
  };
  return r;
}

}  // namespace tamrik::platform

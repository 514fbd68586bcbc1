#include "core/receiver_stream.h"

namespace tamrik::core {

bool ReceiverStream::feedInputReports(std::span<const std::uint8_t> read, int reportLength) {
  const std::size_t reports = wholeReports(read.size(), reportLength);
  if (reports == 0) return true;
  const auto length = static_cast<std::size_t>(reportLength);
  if (const auto status = inputStatus(read.first(length))) sink_.onInputStatus(*status);
  for (std::size_t j = 0; j < reports; ++j) {
    if (!sink_.keepReading()) return false;
    const auto bytes = receiverBytes(read.subspan(j * length, length));
    if (!bytes.empty()) sink_.onReceiverBytes(bytes);
    if (!feedReceiverBytes(bytes)) return false;
  }
  return true;
}

namespace {

// A UBX frame: sync, class, id and length before the payload, the checksum after it.
constexpr std::uint64_t kFrameOverhead = 8;

}  // namespace

bool ReceiverStream::feedReceiverBytes(std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t b : bytes) {
    if (b != 0 && !firstAfterFrame_) firstAfterFrame_ = position_;
    ++position_;
    if (parseReceiverByte(assembler_, b)) deliver();
    if (!sink_.keepReading()) return false;
  }
  return true;
}

void ReceiverStream::resync() {
  assembler_.state = 0;
  position_ = 0;
  firstAfterFrame_.reset();
}

void ReceiverStream::deliver() {
  const std::uint8_t cls = assembler_.messageClass;
  const std::uint8_t id = assembler_.messageId;
  const auto payload = assembler_.message();
  // The frame's first byte is a sync byte, so the first byte other than zero since the last frame
  // is its own exactly when nothing else came between.
  frameAdjoins_ = position_ >= kFrameOverhead + payload.size() && firstAfterFrame_ == position_ - (kFrameOverhead + payload.size());
  firstAfterFrame_.reset();
  sink_.onMessage(cls, id, payload);
  if (cls != kClassNav) return;
  switch (id) {
    case kIdNavPvt:
      if (const auto m = readNavPvt(payload)) sink_.onNavPvt(*m);
      return;
    case kIdNavTimeUtc:
      if (const auto m = readNavTimeUtc(payload)) sink_.onNavTimeUtc(*m);
      return;
    case kIdNavClock:
      if (const auto m = readNavClock(payload)) sink_.onNavClock(*m);
      return;
    case kIdNavSvInfo:
      if (const auto m = NavSvInfo::read(payload)) sink_.onNavSvInfo(*m);
      return;
    case kIdNavTimeLs:
      if (const auto m = readNavTimeLs(payload)) sink_.onNavTimeLs(*m);
      return;
    default:
      return;
  }
}

}  // namespace tamrik::core

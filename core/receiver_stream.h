#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/protocol.h"
#include "core/ubx.h"

namespace tamrik::core {

// Where a receiver stream delivers what it reads. Every callback has a default that ignores it.
// Payloads and the NavSvInfo handed over point into the stream's buffer and are valid only during
// the call.
class ReceiverSink {
 public:
  virtual ~ReceiverSink() = default;

  // The unit's status from the first whole input report of a read (reads without one say nothing).
  virtual void onInputStatus(const InputStatus&) {}
  // The receiver bytes one input report carried, as they arrived (for a bridge that passes the
  // receiver's own stream on).
  virtual void onReceiverBytes(std::span<const std::uint8_t>) {}
  // Every UBX frame that arrived whole with a correct checksum, before it is decoded.
  virtual void onMessage(std::uint8_t /*messageClass*/, std::uint8_t /*messageId*/,
                         std::span<const std::uint8_t> /*payload*/) {}
  // The decoded NAV messages; a message too short for its fields is not delivered.
  virtual void onNavPvt(const NavPvt&) {}
  virtual void onNavSvInfo(const NavSvInfo&) {}
  virtual void onNavTimeUtc(const NavTimeUtc&) {}
  virtual void onNavClock(const NavClock&) {}
  virtual void onNavTimeLs(const NavTimeLs&) {}

  // Asked before each report and after each receiver byte (and so after each delivered message):
  // false ends the feed at once, leaving the rest of the read unread. A sink whose callbacks may
  // close the unit or end the program stops the stream here.
  virtual bool keepReading() { return true; }
};

// The receiver's stream: takes the unit's input reports, assembles the UBX frames their receiver
// bytes carry (frames run across reports and reads), decodes them and hands everything to a sink.
class ReceiverStream {
 public:
  explicit ReceiverStream(ReceiverSink& sink) : sink_(sink) {}
  ReceiverStream(const ReceiverStream&) = delete;
  ReceiverStream& operator=(const ReceiverStream&) = delete;

  // One read: the whole reports of reportLength bytes in `read` (a trailing partial report is
  // dropped). The first report's status goes to the sink, then each report's receiver bytes in
  // order. False when the sink stopped the feed.
  bool feedInputReports(std::span<const std::uint8_t> read, int reportLength);
  // Receiver bytes without the reports around them. False when the sink stopped the feed.
  bool feedReceiverBytes(std::span<const std::uint8_t> bytes);

  // Forgets the frame in progress, as after a break in the line: a frame is taken only from its
  // first byte on after this, and frameAdjoins() counts from here.
  void resync();
  // Of the frame being delivered (during its callbacks): whether it followed the previous frame,
  // or the start of the stream or the last resync, with nothing but zero bytes between them (the
  // padding of a short report). False when other bytes stood there: a frame that was cut, or
  // bytes that are no UBX.
  bool frameAdjoins() const { return frameAdjoins_; }

  const MessageAssembler& assembler() const { return assembler_; }

 private:
  void deliver();

  ReceiverSink& sink_;
  MessageAssembler assembler_;
  // Receiver bytes fed since the start or the last resync, and where the first byte other than
  // zero came after the last whole frame (or that start).
  std::uint64_t position_ = 0;
  std::optional<std::uint64_t> firstAfterFrame_;
  bool frameAdjoins_ = false;
};

}  // namespace tamrik::core

#pragma once
// What the receiver stream's clients may send the receiver: polls, and nothing else.
//
// A poll is a whole UBX frame with a good checksum and no payload (MON-VER, MON-HW, CFG-PRT for
// the port it comes in on, ...): it asks for a message and changes nothing. ClientInput finds the
// frames in what one client sends and tells every other thing apart, so that it can be refused by
// name: a frame with a payload (configuration, CFG-RST, CFG-CFG saves), a frame with a bad
// checksum, an NMEA sentence ($PUBX,41 sets the port), bytes that are neither.
//
// PollGate then hands the receiver one poll at a time: the next only after the receiver answered
// the one before (a frame of its class and id; for a CFG poll the ACK that ends the answer; an
// ACK-NAK for a poll the receiver does not know) or after a timeout, so that the answers of two
// requests never mix, and at most one per spacing. The clients' polls wait in queues of their own,
// bounded, and are taken in turn, a poll of each client with polls waiting before a second of any.
// Neither does anything with a device: the engine passes the polls on and reads the answers.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tamrik::bridge {

class ClientInput {
 public:
  struct Item {
    enum class Kind {
      Poll,         // a whole UBX frame with a good checksum and no payload
      Message,      // a whole UBX frame with a good checksum and a payload
      BadChecksum,  // a UBX frame whose checksum does not match
      Nmea,         // an NMEA sentence, up to its line end
      Other,        // bytes that are neither
    };
    Kind kind = Kind::Other;
    std::uint8_t messageClass = 0;
    std::uint8_t messageId = 0;
    std::size_t length = 0;  // UBX: the payload length the frame declares; Other: the bytes
    std::string sentence;    // Nmea: its address field ("$PUBX", "$GPGGA"), printable characters only
  };

  // The items that these bytes complete, in order, appended to `out`. Bytes that are neither UBX
  // nor NMEA are told as one item at the end of each call, or where a frame or sentence begins.
  void feed(std::span<const std::uint8_t> bytes, std::vector<Item>& out);
  // Bytes looked at so far, those looked at again included: the scan's work.
  std::size_t looked() const { return looked_; }

  // UBX payloads longer than this are taken for no frame: its first byte is a stray byte and the
  // search goes on behind it (the receiver's longest messages are a few kilobytes). So does a
  // frame whose checksum is bad and whose bytes hold another frame's start.
  static constexpr std::size_t kLongestPayload = 8192;
  // An NMEA sentence has at most 82 characters; a line this long without its end is stray bytes.
  static constexpr std::size_t kLongestSentence = 128;
  // Looking again behind a stray sync costs the bytes of the frame it began: at most this many
  // times the bytes that came, so that no client can make the scan's work grow faster than its input.
  static constexpr std::size_t kReplayPerByte = 4;

 private:
  enum class State { Hunting, Sync2, Header, Payload, Checksum, Sentence };
  void step(std::uint8_t b, std::vector<Item>& out);
  void resync();
  bool holdsAnotherStart() const;
  void stray(std::size_t n) { strays_ += n; }
  void flushStrays(std::vector<Item>& out);

  State state_ = State::Hunting;
  std::uint8_t header_[4] = {};  // class, id, length
  std::size_t got_ = 0;          // header, payload or checksum bytes of the current part
  std::size_t length_ = 0;
  std::uint8_t ckA_ = 0, ckB_ = 0;
  std::uint8_t sentA_ = 0;  // the first checksum byte the frame carried
  std::string sentence_;
  std::size_t strays_ = 0;
  std::vector<std::uint8_t> frame_;   // the current frame's bytes from its first sync byte
  std::deque<std::uint8_t> replay_;  // bytes to look at again, before the next new one
  std::size_t replayBudget_ = 0;     // bytes that may still be looked at again
  std::size_t looked_ = 0;
};

// An item as messages name it: "UBX CFG-PRT (06 00, 20 bytes)", "UBX MON-VER (0A 04, a poll)",
// "a UBX frame with a bad checksum (06 09, 13 bytes)", "NMEA $PUBX", "12 bytes that are neither
// UBX nor NMEA".
std::string describe(const ClientInput::Item& item);

struct PollGateOptions {
  // The shortest time between two polls passed on: at most four a second.
  std::chrono::milliseconds spacing{250};
  // How long the receiver has to answer before the next poll may go. At the unit's 9600 baud an
  // answer may wait behind an epoch's burst of about a second.
  std::chrono::milliseconds answerTimeout{2000};
  // Polls of one client waiting; a client that sends more has them refused.
  std::size_t perClient = 4;
};

class PollGate {
 public:
  using Client = std::uint64_t;
  using SteadyTime = std::chrono::steady_clock::time_point;
  struct Poll {
    Client client = 0;
    std::uint8_t messageClass = 0;
    std::uint8_t messageId = 0;
    friend bool operator==(const Poll&, const Poll&) = default;
  };

  explicit PollGate(PollGateOptions options = {}) : options_(options) {}

  // Queues a client's poll behind its earlier ones; false when its queue is full and the poll is
  // refused.
  bool offer(Client client, std::uint8_t messageClass, std::uint8_t messageId);
  // The client left: its waiting polls go. One in flight still waits for its answer.
  void forget(Client client);
  // A whole frame from the receiver, which may be the answer to the poll in flight.
  void onReceiverFrame(std::uint8_t messageClass, std::uint8_t messageId, std::span<const std::uint8_t> payload);
  // The poll in flight whose answer did not come in time, given up now; nothing otherwise.
  std::optional<Poll> expire(SteadyTime now);
  // The poll to pass on now, if one may go: none while one is in flight, none sooner than the
  // spacing after the last; else the first waiting poll of the next client in turn. It is in
  // flight from now on.
  std::optional<Poll> next(SteadyTime now);
  // The poll just taken from next() could not be passed on: nothing waits for its answer.
  void notPassed() { inFlight_.reset(); }

  const std::optional<Poll>& inFlight() const { return inFlight_; }
  std::size_t waiting() const;
  const PollGateOptions& options() const { return options_; }

 private:
  PollGateOptions options_;
  std::map<Client, std::deque<Poll>> queues_;  // clients with polls waiting, by the order they came in
  std::optional<Client> lastTurn_;
  std::optional<Poll> inFlight_;
  SteadyTime sentAt_{};
  std::optional<SteadyTime> lastSent_;
};

}  // namespace tamrik::bridge

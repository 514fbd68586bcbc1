#pragma once
// The receiver's stream on a TCP port (`tamrikctl receiver --tcp ADDR:PORT`): every client that
// connects gets the receiver's bytes as the pseudo-terminal's reader does, for u-center,
// PyGPSClient, gpsd (tcp://ADDR:PORT) or ubxtool.
//
// A client starts at an epoch: what it gets first is the first byte of the receiver's next burst,
// so it sees whole frames from its first read on. While the receiver's rhythm is not known yet
// (EpochStamper's first seconds), it starts where the next UBX frame or NMEA line does instead.
// From there on it gets every byte, in order.
//
// Clients never wait for each other, nor the unit or chrony for any of them: each has a queue of
// its own, written without waiting as its socket takes it. A client whose queue grows past two
// epochs' bytes (twice the longest epoch among the last 16, at least 4 KiB; 64 KiB while no
// epoch has been measured) has fallen behind by that much on top of what the system's socket
// buffers hold: it is dropped, saying so. At most 16 clients are served at once (clientLimit); a
// connection beyond them is closed at once, saying so.
//
// The stream is read-only: what a client sends is read and thrown away. With passPolls
// (`--receiver-polls`) its UBX polls go to the receiver through the poll gate (bridge/poll_gate.h),
// and the answers reach every client, as the receiver's other bytes do; a client's polls wait
// until it gets the receiver's bytes, so that it sees their answers, and go only in the quiet part
// of the second (kLastPollAfterEpoch). Everything else it sends is refused by name. Lines about
// clients (comings and goings, refusals) are rate-limited, so that a client flooding the port
// cannot flood the journal.
//
// The engine owns nothing of the operating system: the listener and the connections are the
// platform's (platform/stream_io.h), the unit is reached through a callback.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bridge/poll_gate.h"
#include "core/ubx.h"
#include "platform/stream_io.h"

namespace tamrik::bridge {

struct StreamOptions {
  std::size_t clientLimit = 16;
  bool passPolls = false;
  PollGateOptions polls;
};

struct StreamCounters {
  std::uint64_t accepted = 0;  // clients taken
  std::uint64_t turnedAway = 0;  // connections closed at once, beyond the client limit
  std::uint64_t left = 0;      // clients that closed their connection, or whose connection failed
  std::uint64_t dropped = 0;   // clients dropped for falling behind
  std::uint64_t toClients = 0;  // bytes written, all clients together
  std::uint64_t discarded = 0;  // bytes clients sent that went nowhere (refused ones included)
  std::uint64_t polls = 0;     // polls passed on to the receiver
  std::uint64_t refused = 0;   // messages (and runs of stray bytes) that did not go to the receiver: all while polls are off
  std::uint64_t unanswered = 0;  // polls whose answer did not come in time
};

// At most `burst` lines at once, then one per `interval`; a line after some were left out says
// how many.
class LineLimiter {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;
  LineLimiter(std::size_t burst, std::chrono::milliseconds interval)
      : burst_(burst), interval_(interval), tokens_(static_cast<double>(burst)) {}
  // The line to write now ("" when it is left out).
  std::string pass(const std::string& line, SteadyTime now);

 private:
  std::size_t burst_;
  std::chrono::milliseconds interval_;
  double tokens_;
  std::optional<SteadyTime> last_;
  std::uint64_t leftOut_ = 0;
};

class StreamClients {
 public:
  using Log = std::function<void(const std::string&)>;
  // Hands the receiver a poll through the unit (ReceiverSource::passPoll); false when the unit
  // did not take it.
  using PassPoll = std::function<bool(std::uint8_t messageClass, std::uint8_t messageId)>;
  using SteadyTime = std::chrono::steady_clock::time_point;

  StreamClients(platform::StreamListener& listener, StreamOptions options, PassPoll passPoll, Log log);
  StreamClients(const StreamClients&) = delete;
  StreamClients& operator=(const StreamClients&) = delete;
  ~StreamClients();

  // One read's receiver bytes. epochStart: the read began an epoch's burst; epochsKnown: the
  // receiver's rhythm is known (EpochStamper::quietGap()), so that epochs will be told.
  void onReceiverBytes(std::span<const std::uint8_t> bytes, bool epochStart, bool epochsKnown);
  // Takes the connections waiting, reads what the clients sent, passes a poll on when one may go
  // and writes each client what its socket takes now. False when the listener failed for good
  // (said in the log).
  bool serve(SteadyTime now);

  std::size_t clients() const { return clients_.size(); }
  // Bytes waiting for the client connected from `peer` (0 when there is none, or it has not started).
  std::size_t queued(const std::string& peer) const;
  // The queue bound in force now.
  std::size_t queueBound() const;
  const StreamCounters& counters() const { return counters_; }
  const PollGate& gate() const { return gate_; }
  const std::string& address() const { return listener_.address(); }

  // While the receiver's epochs are told, a poll goes only in the quiet part of the second: once
  // the epoch's burst is over (no bytes for kBurstOver) and no later than kLastPollAfterEpoch after
  // its start. Its answer (a few hundred bytes, a quarter of a second at 9600 baud) then comes well
  // before the next epoch's first bytes, which stamp the time samples, and never merges with them.
  static constexpr std::chrono::milliseconds kBurstOver{30};
  static constexpr std::chrono::milliseconds kLastPollAfterEpoch{650};
  // The receiver's bytes while a poll is in flight, up to this long after the epoch's start, are
  // its answer: they tell nothing of the epochs (EpochStamper::onRead's `answer`).
  static constexpr std::chrono::milliseconds kAnswersUntil{900};
  bool answerDue(SteadyTime now) const;
  static constexpr std::size_t kEpochsMeasured = 16;
  static constexpr std::size_t kSmallestBound = 4 * 1024;
  static constexpr std::size_t kBoundWithoutEpochs = 64 * 1024;

 private:
  struct Piece;
  struct Client;
  void accept();
  bool readFrom(Client& c);
  // True when the step ended the client's connection (a failure, or the client left), said and counted.
  bool ended(const Client& c, const platform::StreamStep& step);
  bool writeTo(Client& c);
  void passPolls();
  bool quietPart() const;
  void take(Client& c, const std::vector<ClientInput::Item>& items);
  void offerPoll(Client& c, const ClientInput::Item& poll);
  void tooMany(Client& c, const ClientInput::Item& poll);
  void remove(std::size_t at);
  void say(const std::string& line);
  void refuse(const std::string& line);
  std::string nameOf(PollGate::Client id) const;

  platform::StreamListener& listener_;
  StreamOptions options_;
  PassPoll passPoll_;
  Log log_;
  StreamCounters counters_;
  std::vector<std::unique_ptr<Client>> clients_;
  PollGate::Client nextId_ = 1;
  PollGate gate_;
  // The receiver's frames, for the answers to polls and for where a frame begins.
  core::MessageAssembler frames_;
  std::vector<std::uint8_t> partial_;  // the bytes of the frame in progress that came in earlier reads
  // The sizes of the last whole epochs, newest last, and the bytes of the one in progress.
  std::deque<std::size_t> epochSizes_;
  std::size_t epochBytes_ = 0;
  bool epochSeen_ = false;
  SteadyTime now_{};
  // When the receiver's bytes last came, and its last epoch began (as the rounds saw them).
  bool epochsKnown_ = false;
  bool bytesCame_ = false;
  bool epochCame_ = false;
  SteadyTime lastBytes_{};
  std::optional<SteadyTime> lastEpochStart_;
  // Room for every client's line at once (the limit's comings and goings, twice over).
  LineLimiter comings_{40, std::chrono::seconds(5)};
  LineLimiter refusals_{10, std::chrono::seconds(5)};
};

}  // namespace tamrik::bridge

#include "bridge/stream_clients.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace tamrik::bridge {

namespace {

// A client's input is read in pieces of this size, at most kReadsPerRound a round: one that
// writes without pause cannot keep the loop from the others.
constexpr std::size_t kReadBytes = 4096;
constexpr int kReadsPerRound = 4;
// The bytes of a poll: sync, class, id, length, checksum.
constexpr std::size_t kPollBytes = 8;

}  // namespace

// One read's bytes, shared by every client's queue, from `from` on.
struct StreamClients::Piece {
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  std::size_t from = 0;
};

struct StreamClients::Client {
  PollGate::Client id = 0;
  std::unique_ptr<platform::StreamConnection> connection;
  bool started = false;  // gets the receiver's bytes (from an epoch's start on)
  std::deque<Piece> queue;
  std::size_t queued = 0;
  std::uint64_t sent = 0;
  ClientInput input;
  std::vector<ClientInput::Item> held;  // its polls, until it gets the receiver's bytes
  bool saidReadOnly = false;
  const std::string& peer() const { return connection->peer(); }
};

// --- rate-limited lines -----------------------------------------------------------------------

std::string LineLimiter::pass(const std::string& line, SteadyTime now) {
  if (last_) {
    const double earned = std::chrono::duration<double>(now - *last_) / interval_;
    tokens_ = std::min(static_cast<double>(burst_), tokens_ + std::max(earned, 0.0));
  }
  last_ = now;
  if (tokens_ < 1) {
    ++leftOut_;
    return {};
  }
  tokens_ -= 1;
  if (leftOut_ == 0) return line;
  const std::string text =
      line + " (" + std::to_string(leftOut_) + (leftOut_ == 1 ? " line" : " lines") + " left out before this one)";
  leftOut_ = 0;
  return text;
}

// --- the clients ------------------------------------------------------------------------------

StreamClients::StreamClients(platform::StreamListener& listener, StreamOptions options, PassPoll passPoll, Log log)
    : listener_(listener), options_(options), passPoll_(std::move(passPoll)), log_(std::move(log)), gate_(options.polls) {
  if (!log_) log_ = [](const std::string&) {};
}

StreamClients::~StreamClients() = default;

void StreamClients::say(const std::string& line) {
  if (std::string text = comings_.pass(line, now_); !text.empty()) log_(text);
}

void StreamClients::refuse(const std::string& line) {
  if (std::string text = refusals_.pass(line, now_); !text.empty()) log_(text);
}

std::size_t StreamClients::queueBound() const {
  if (epochSizes_.empty()) return kBoundWithoutEpochs;
  return std::max(2 * *std::max_element(epochSizes_.begin(), epochSizes_.end()), kSmallestBound);
}

std::size_t StreamClients::queued(const std::string& peer) const {
  for (const auto& c : clients_) {
    if (c->peer() == peer) return c->queued;
  }
  return 0;
}

std::string StreamClients::nameOf(PollGate::Client id) const {
  for (const auto& c : clients_) {
    if (c->id == id) return c->peer();
  }
  return "a client that has left";
}

void StreamClients::onReceiverBytes(std::span<const std::uint8_t> bytes, bool epochStart, bool epochsKnown) {
  epochsKnown_ = epochsKnown;
  if (bytes.empty()) return;
  bytesCame_ = true;
  epochCame_ = epochCame_ || epochStart;
  // The receiver's frames: answers for the poll gate, and for clients that start while epochs
  // are not told, where a frame begins: the first whole frame of this read from its first byte
  // (with its bytes of earlier reads before this read's, when it began in one), or the line after
  // an NMEA sentence.
  std::size_t begins = 0;
  bool frameBegins = false;                 // begins is known
  std::vector<std::uint8_t> earlier;        // the first whole frame's bytes of earlier reads
  constexpr std::size_t kNowhere = SIZE_MAX;
  std::size_t frameFrom = kNowhere;         // where the frame in progress began in this read
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int before = frames_.state;
    if (core::parseReceiverByte(frames_, bytes[i])) {
      gate_.onReceiverFrame(frames_.messageClass, frames_.messageId, frames_.message());
      if (!frameBegins) {
        frameBegins = true;
        if (frameFrom != kNowhere) {
          begins = frameFrom;
        } else {
          earlier = std::move(partial_);
        }
      }
      frameFrom = kNowhere;
      partial_.clear();
    } else if (before == 0 && frames_.state != 0) {
      frameFrom = i;
      partial_.clear();
    } else if (before != 0 && frames_.state == 0) {
      frameFrom = kNowhere;  // no frame after all
      partial_.clear();
    } else if (before == 0 && bytes[i] == '\n' && !frameBegins) {
      begins = i + 1;
      frameBegins = true;
    }
  }
  if (frames_.state != 0) {
    if (frameFrom != kNowhere) partial_.clear();
    const std::size_t from = frameFrom == kNowhere ? 0 : frameFrom;
    partial_.insert(partial_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
  }

  if (epochStart) {
    if (epochSeen_) {
      epochSizes_.push_back(epochBytes_);
      if (epochSizes_.size() > kEpochsMeasured) epochSizes_.pop_front();
    }
    epochSeen_ = true;
    epochBytes_ = 0;
  }
  epochBytes_ += bytes.size();

  std::shared_ptr<const std::vector<std::uint8_t>> chunk;
  std::shared_ptr<const std::vector<std::uint8_t>> earlierChunk;
  const std::size_t bound = queueBound();
  for (std::size_t at = 0; at < clients_.size();) {
    Client& c = *clients_[at];
    std::size_t from = 0;
    if (!c.started && (epochStart || (!epochsKnown && frameBegins))) {
      c.started = true;
      if (!epochStart) {
        from = begins;
        if (!earlier.empty()) {
          if (!earlierChunk) earlierChunk = std::make_shared<const std::vector<std::uint8_t>>(earlier);
          c.queue.push_back({earlierChunk, 0});
          c.queued += earlier.size();
        }
      }
      // Its polls go now: it sees their answers.
      for (const ClientInput::Item& poll : c.held) offerPoll(c, poll);
      c.held.clear();
    }
    if (c.started && from < bytes.size()) {
      if (!chunk) chunk = std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end());
      c.queue.push_back({chunk, from});
      c.queued += bytes.size() - from;
    }
    if (c.queued > bound) {
      say("client " + c.peer() + " does not keep up: " + std::to_string(c.queued) + " bytes wait for it, more than two epochs' (" +
          std::to_string(bound) + "); dropping it");
      ++counters_.dropped;
      remove(at);
      continue;
    }
    ++at;
  }
}

bool StreamClients::serve(SteadyTime now) {
  now_ = now;
  // The receiver's bytes of this round came with its read, right before.
  if (bytesCame_) lastBytes_ = now;
  if (epochCame_) lastEpochStart_ = now;
  bytesCame_ = epochCame_ = false;
  for (;;) {
    auto taken = listener_.accept();
    if (!taken) {
      log_(taken.failure().reason);
      return false;
    }
    if (!*taken) break;
    std::unique_ptr<platform::StreamConnection> connection = std::move(*taken);
    if (clients_.size() >= options_.clientLimit) {
      // Closed as it goes out of scope.
      ++counters_.turnedAway;
      say("turning away " + connection->peer() + ": " + std::to_string(options_.clientLimit) +
          " clients are served already, the most there may be");
      continue;
    }
    auto c = std::make_unique<Client>();
    c->id = nextId_++;
    c->connection = std::move(connection);
    ++counters_.accepted;
    say("client " + c->peer() + " connected; it gets the receiver's bytes from the next epoch on");
    clients_.push_back(std::move(c));
  }
  for (std::size_t at = 0; at < clients_.size();) {
    if (readFrom(*clients_[at])) {
      ++at;
    } else {
      remove(at);
    }
  }
  if (options_.passPolls) passPolls();
  for (std::size_t at = 0; at < clients_.size();) {
    if (writeTo(*clients_[at])) {
      ++at;
    } else {
      remove(at);
    }
  }
  return true;
}

void StreamClients::remove(std::size_t at) {
  gate_.forget(clients_[at]->id);
  clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(at));
}

bool StreamClients::ended(const Client& c, const platform::StreamStep& step) {
  if (step.state == platform::StreamStep::State::Failed) {
    say(step.reason);
  } else if (step.state == platform::StreamStep::State::Closed) {
    say("client " + c.peer() + " left after " + std::to_string(c.sent) + " bytes");
  } else {
    return false;
  }
  ++counters_.left;
  return true;
}

bool StreamClients::readFrom(Client& c) {
  std::array<std::uint8_t, kReadBytes> buffer{};
  std::vector<ClientInput::Item> items;
  for (int round = 0; round < kReadsPerRound; ++round) {
    const platform::StreamStep step = c.connection->read(buffer);
    if (step.bytes > 0) {
      const std::span<const std::uint8_t> got(buffer.data(), step.bytes);
      counters_.discarded += got.size();
      items.clear();
      c.input.feed(got, items);
      if (options_.passPolls) {
        take(c, items);
      } else {
        counters_.refused += items.size();
        if (!c.saidReadOnly) {
          say("client " + c.peer() + " sends bytes: the receiver's stream is read-only here, and they are thrown away");
          c.saidReadOnly = true;
        }
      }
    }
    if (ended(c, step)) return false;
    if (step.bytes < buffer.size()) break;
  }
  return true;
}

void StreamClients::take(Client& c, const std::vector<ClientInput::Item>& items) {
  for (const ClientInput::Item& item : items) {
    if (item.kind != ClientInput::Item::Kind::Poll) {
      ++counters_.refused;
      refuse("refused " + describe(item) + " from " + c.peer() + ": only polls pass");
    } else if (c.started) {
      offerPoll(c, item);
    } else if (c.held.size() < options_.polls.perClient) {
      c.held.push_back(item);
    } else {
      tooMany(c, item);
    }
  }
}

void StreamClients::offerPoll(Client& c, const ClientInput::Item& poll) {
  if (gate_.offer(c.id, poll.messageClass, poll.messageId)) {
    counters_.discarded -= kPollBytes;
  } else {
    tooMany(c, poll);
  }
}

void StreamClients::tooMany(Client& c, const ClientInput::Item& poll) {
  ++counters_.refused;
  refuse("refused " + describe(poll) + " from " + c.peer() + ": " + std::to_string(options_.polls.perClient) +
         " of its polls wait already");
}

bool StreamClients::answerDue(SteadyTime now) const {
  return gate_.inFlight() && epochsKnown_ && lastEpochStart_ && now - *lastEpochStart_ < kAnswersUntil;
}

bool StreamClients::quietPart() const {
  // Polls wait while the receiver's rhythm is learned: their answers would be taken for epochs.
  if (!epochsKnown_) return false;
  return lastEpochStart_ && now_ - lastBytes_ >= kBurstOver && now_ - *lastEpochStart_ <= kLastPollAfterEpoch;
}

void StreamClients::passPolls() {
  const auto pollText = [](const PollGate::Poll& p) {
    ClientInput::Item item;
    item.kind = ClientInput::Item::Kind::Poll;
    item.messageClass = p.messageClass;
    item.messageId = p.messageId;
    return describe(item);
  };
  if (const std::optional<PollGate::Poll> gone = gate_.expire(now_)) {
    ++counters_.unanswered;
    refuse("the receiver did not answer " + pollText(*gone) + " from " + nameOf(gone->client) + " within " +
           std::to_string(options_.polls.answerTimeout.count()) + " ms; the next poll may go");
  }
  if (!quietPart()) return;
  const std::optional<PollGate::Poll> p = gate_.next(now_);
  if (!p) return;
  if (passPoll_ && passPoll_(p->messageClass, p->messageId)) {
    ++counters_.polls;
    return;
  }
  gate_.notPassed();
  refuse("the unit did not take " + pollText(*p) + " from " + nameOf(p->client) + " for its receiver");
}

bool StreamClients::writeTo(Client& c) {
  while (!c.queue.empty()) {
    Piece& piece = c.queue.front();
    const std::span<const std::uint8_t> rest = std::span(*piece.bytes).subspan(piece.from);
    const platform::StreamStep step = c.connection->write(rest);
    c.sent += step.bytes;
    c.queued -= step.bytes;
    piece.from += step.bytes;
    counters_.toClients += step.bytes;
    if (ended(c, step)) return false;
    if (piece.from < piece.bytes->size()) break;
    c.queue.pop_front();
  }
  return true;
}

}  // namespace tamrik::bridge

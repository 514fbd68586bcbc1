#include "bridge/poll_gate.h"

#include <algorithm>

#include "core/ubx.h"

namespace tamrik::bridge {

namespace {

std::string hexByte(std::uint8_t b) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[b >> 4], kDigits[b & 0x0F]};
}

std::string bytesText(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// Messages that carry no payload and still act: LOG-ERASE empties the receiver's data log. They are
// no polls, whatever their length.
bool actsWithoutPayload(std::uint8_t messageClass, std::uint8_t messageId) {
  return messageClass == 0x21 && messageId == 0x03;
}

}  // namespace

// --- what a client sends ----------------------------------------------------------------------

void ClientInput::flushStrays(std::vector<Item>& out) {
  if (strays_ == 0) return;
  Item item;
  item.kind = Item::Kind::Other;
  item.length = strays_;
  out.push_back(std::move(item));
  strays_ = 0;
}

void ClientInput::feed(std::span<const std::uint8_t> bytes, std::vector<Item>& out) {
  for (const std::uint8_t b : bytes) {
    replayBudget_ = std::min(replayBudget_ + kReplayPerByte, kReplayPerByte * (kLongestPayload + 8));
    step(b, out);
    while (!replay_.empty()) {
      const std::uint8_t again = replay_.front();
      replay_.pop_front();
      step(again, out);
    }
  }
  flushStrays(out);
}

void ClientInput::resync() {
  // The frame's first byte was a stray one; the search goes on from the byte behind it, so that a
  // stray sync before a real frame costs that frame nothing. Beyond the budget (bytes built to make
  // the scan look again and again) the frame's bytes are all stray.
  if (frame_.size() - 1 > replayBudget_) {
    stray(frame_.size());
    frame_.clear();
    state_ = State::Hunting;
    return;
  }
  replayBudget_ -= frame_.size() - 1;
  stray(1);
  state_ = State::Hunting;
  replay_.insert(replay_.begin(), frame_.begin() + 1, frame_.end());
  frame_.clear();
}

void ClientInput::step(std::uint8_t b, std::vector<Item>& out) {
  ++looked_;
  switch (state_) {
    case State::Hunting:
      if (b == core::kSync1) {
        frame_.assign(1, b);
        state_ = State::Sync2;
      } else if (b == '$' || b == '!') {
        flushStrays(out);
        sentence_.assign(1, static_cast<char>(b));
        state_ = State::Sentence;
      } else {
        stray(1);
      }
      break;
    case State::Sync2:
      if (b == core::kSync2) {
        flushStrays(out);
        frame_.push_back(b);
        state_ = State::Header;
        got_ = 0;
        ckA_ = ckB_ = 0;
      } else {
        // The first byte was a stray one; this one is looked at anew.
        stray(1);
        state_ = State::Hunting;
        step(b, out);
      }
      break;
    case State::Header:
      frame_.push_back(b);
      header_[got_++] = b;
      ckA_ = static_cast<std::uint8_t>(ckA_ + b);
      ckB_ = static_cast<std::uint8_t>(ckB_ + ckA_);
      if (got_ < 4) break;
      length_ = static_cast<std::size_t>(header_[2] | (header_[3] << 8));
      got_ = 0;
      if (length_ > kLongestPayload) {
        resync();
      } else {
        state_ = length_ == 0 ? State::Checksum : State::Payload;
      }
      break;
    case State::Payload:
      frame_.push_back(b);
      ckA_ = static_cast<std::uint8_t>(ckA_ + b);
      ckB_ = static_cast<std::uint8_t>(ckB_ + ckA_);
      if (++got_ == length_) {
        got_ = 0;
        state_ = State::Checksum;
      }
      break;
    case State::Checksum:
      frame_.push_back(b);
      if (got_++ == 0) {
        sentA_ = b;
        break;
      }
      {
        const bool good = sentA_ == ckA_ && b == ckB_;
        // A bad checksum over bytes that hold another frame's start was a stray sync's doing: the
        // frames behind it are looked for. Without one it is a damaged frame, and told as such.
        if (!good && frame_.size() - 1 <= replayBudget_ && holdsAnotherStart()) {
          resync();
          break;
        }
        Item item;
        item.messageClass = header_[0];
        item.messageId = header_[1];
        item.length = length_;
        item.kind = !good                                                           ? Item::Kind::BadChecksum
                    : length_ == 0 && !actsWithoutPayload(header_[0], header_[1]) ? Item::Kind::Poll
                                                                                   : Item::Kind::Message;
        out.push_back(std::move(item));
      }
      frame_.clear();
      state_ = State::Hunting;
      break;
    case State::Sentence:
      if (b == '\n') {
        Item item;
        item.kind = Item::Kind::Nmea;
        item.sentence = sentence_.substr(0, sentence_.find_first_of(",*\r"));
        out.push_back(std::move(item));
        state_ = State::Hunting;
      } else if ((b < 0x20 && b != '\r') || b >= 0x7F || sentence_.size() >= kLongestSentence) {
        // No sentence after all: what came so far is stray, and this byte is looked at anew.
        stray(sentence_.size());
        state_ = State::Hunting;
        step(b, out);
      } else {
        sentence_ += static_cast<char>(b);
      }
      break;
  }
}

bool ClientInput::holdsAnotherStart() const {
  for (std::size_t i = 1; i + 1 < frame_.size(); ++i) {
    if (frame_[i] == core::kSync1 && frame_[i + 1] == core::kSync2) return true;
  }
  return false;
}

std::string describe(const ClientInput::Item& item) {
  using Kind = ClientInput::Item::Kind;
  if (item.kind == Kind::Other) {
    return bytesText(item.length) + (item.length == 1 ? " that is" : " that are") + " neither UBX nor NMEA";
  }
  if (item.kind == Kind::Nmea) return "NMEA " + item.sentence;
  const std::string_view name = core::messageName(item.messageClass, item.messageId);
  const std::string ids = hexByte(item.messageClass) + " " + hexByte(item.messageId);
  const std::string size = item.length > 0                                         ? bytesText(item.length)
                           : actsWithoutPayload(item.messageClass, item.messageId) ? "a command"
                                                                                   : "a poll";
  std::string text = name.empty() ? "UBX " + ids + " (" + size + ")" : "UBX " + std::string(name) + " (" + ids + ", " + size + ")";
  if (item.kind == Kind::BadChecksum) text += " with a bad checksum";
  return text;
}

// --- the gate -------------------------------------------------------------------------------

bool PollGate::offer(Client client, std::uint8_t messageClass, std::uint8_t messageId) {
  std::deque<Poll>& queue = queues_[client];
  if (queue.size() >= options_.perClient) return false;
  queue.push_back({client, messageClass, messageId});
  return true;
}

void PollGate::forget(Client client) { queues_.erase(client); }

void PollGate::onReceiverFrame(std::uint8_t messageClass, std::uint8_t messageId, std::span<const std::uint8_t> payload) {
  if (!inFlight_) return;
  const Poll& p = *inFlight_;
  // An ACK-ACK or ACK-NAK names the message it acknowledges. A CFG poll is answered with the
  // message and then its ACK; any other with the message alone, or with an ACK-NAK.
  const bool acknowledged = messageClass == core::kClassAck && (messageId == core::kIdAckAck || messageId == core::kIdAckNak) &&
                            payload.size() >= 2 && payload[0] == p.messageClass && payload[1] == p.messageId;
  const bool itself = p.messageClass != core::kClassCfg && messageClass == p.messageClass && messageId == p.messageId;
  if (acknowledged || itself) inFlight_.reset();
}

std::optional<PollGate::Poll> PollGate::expire(SteadyTime now) {
  if (!inFlight_ || now - sentAt_ < options_.answerTimeout) return std::nullopt;
  std::optional<Poll> gone = inFlight_;
  inFlight_.reset();
  return gone;
}

std::optional<PollGate::Poll> PollGate::next(SteadyTime now) {
  if (inFlight_ || queues_.empty()) return std::nullopt;
  if (lastSent_ && now - *lastSent_ < options_.spacing) return std::nullopt;
  // Clients are numbered in the order they came: the next in turn is the first after the one
  // served last, round to the start.
  auto it = lastTurn_ ? queues_.upper_bound(*lastTurn_) : queues_.begin();
  if (it == queues_.end()) it = queues_.begin();
  const Poll p = it->second.front();
  it->second.pop_front();
  if (it->second.empty()) queues_.erase(it);
  lastTurn_ = p.client;
  inFlight_ = p;
  sentAt_ = now;
  lastSent_ = now;
  return p;
}

std::size_t PollGate::waiting() const {
  std::size_t n = 0;
  for (const auto& [client, queue] : queues_) n += queue.size();
  return n;
}

}  // namespace tamrik::bridge

#include "bridge/receiver_bridge.h"

#include "bridge/stream_clients.h"

#include <algorithm>

namespace tamrik::bridge {

namespace {

// Chunks of the queue grow to this size before a new one is started.
constexpr std::size_t kChunkBytes = 64 * 1024;

}  // namespace

// --- the engine ---------------------------------------------------------------------------

ReceiverBridge::ReceiverBridge(ReceiverSource& source, platform::ReaderEndpoint* endpoint,
                               std::vector<platform::TimeSampleSink*> sinks, platform::BridgeWait& wait,
                               platform::BridgeClock& clock, BridgeOptions options, Log log)
    : source_(source), endpoint_(endpoint), wait_(wait), clock_(clock), options_(options), log_(std::move(log)) {
  if (!log_) log_ = [](const std::string&) {};
  for (platform::TimeSampleSink* sink : sinks) {
    if (!sink) continue;
    SinkState state;
    state.sink = sink;
    sinks_.push_back(std::move(state));
  }
}

std::string ReceiverBridge::readerName() const {
  return endpoint_ ? endpoint_->path() : clients_ ? clients_->address() : !sinks_.empty() ? sinks_.front().sink->path() : "";
}

ReceiverBridge::Step ReceiverBridge::step() {
  std::chrono::milliseconds wait{0};
  if (source_.opened()) {
    incoming_.clear();
    const bool ok = source_.read(incoming_, options_.pollPeriod);
    // The stamp: as soon as the read has returned.
    const auto steady = clock_.steadyNow();
    const auto real = clock_.realNow();
    const EpochStamper::Outcome epoch = stamper_.onRead(steady, real, incoming_, clients_ && clients_->answerDue(steady));
    if (epoch.epochStart) {
      ++counters_.epochs;
      dropStale();
    }
    enqueue(incoming_);
    if (clients_) clients_->onReceiverBytes(incoming_, epoch.epochStart, stamper_.quietGap().has_value());
    if (epoch.sample) sendSample(*epoch.sample);
    if (!ok) {
      ++counters_.losses;
      stamper_.unitLost();
      log_("unit " + source_.name() + " lost; " + readerName() + " stays and the bridge waits for the unit");
      retryDelay_ = options_.retryFirst;
      nextOpen_ = steady + retryDelay_;
      lastOpenFailure_.clear();
    }
  } else {
    const auto now = clock_.steadyNow();
    if (now >= nextOpen_) {
      const base::Result<void> opened = source_.open();
      if (opened.ok()) {
        ++counters_.reopens;
        log_("unit " + source_.name() + " is back");
      } else {
        if (opened.failure().reason != lastOpenFailure_) log_(opened.failure().reason + "; trying again");
        lastOpenFailure_ = opened.failure().reason;
        retryDelay_ = std::clamp(retryDelay_ * 2, options_.retryFirst, options_.retryLongest);
        nextOpen_ = now + retryDelay_;
      }
    }
    if (!source_.opened()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextOpen_ - clock_.steadyNow());
      wait = std::clamp(left, std::chrono::milliseconds(0), options_.pollPeriod);
    }
  }
  return serveEndpoint(wait);
}

bool ReceiverBridge::run() {
  for (;;) {
    const Step s = step();
    if (s == Step::Stopped) return true;
    if (s == Step::Failed) return false;
  }
}

ReceiverBridge::Step ReceiverBridge::serveEndpoint(std::chrono::milliseconds wait) {
  const platform::BridgeWait::Result r = wait_.wait(wait, endpoint_ && queued_ > 0);
  if (r.outcome == platform::BridgeWait::Outcome::Stopped) return Step::Stopped;
  if (r.outcome == platform::BridgeWait::Outcome::Failed) {
    log_(r.failure);
    return Step::Failed;
  }
  if (!drainReader() || !flush()) return Step::Failed;
  if (clients_ && !clients_->serve(clock_.steadyNow())) return Step::Failed;
  return Step::Running;
}

void ReceiverBridge::sendSample(const platform::TimeSample& sample) {
  ++counters_.samplesMade;
  lastSampleMade_ = sample.stamp;
  if (onSample) onSample(sample);
  for (SinkState& s : sinks_) sendTo(s, sample);
}

void ReceiverBridge::sendTo(SinkState& s, const platform::TimeSample& sample) {
  const platform::TimeSampleSink::Result sent = s.sink->send(sample);
  const std::string taker = s.sink->taker();
  // A sample that waited for its taker counts when its fate is known; one whose fate can no
  // longer be known (the next one took its place unseen) as not taken.
  if (s.waiting && (sent.earlierTaken || sent.waits)) {
    settle(s, *s.waiting, sent.earlierTaken.value_or(false));
    s.waiting.reset();
  }
  if (sent.waits) {
    s.waiting = sample;
  } else {
    settle(s, sample, sent.sent == platform::TimeSampleSink::Sent::Delivered);
  }
  if (sent.sent == platform::TimeSampleSink::Sent::Delivered) return;
  // Each reason is said when it becomes the reason, not again while it stays.
  if (sent.reason == s.refusal) return;
  s.refusal = sent.reason.empty() ? "no reason given" : sent.reason;
  if (sent.sent == platform::TimeSampleSink::Sent::NotListening) {
    log_("waiting for " + taker + ": " + s.refusal + "; the receiver's time goes to " + s.sink->path() +
         " as soon as " + taker + " listens there");
  } else {
    log_(taker + " does not take the time samples: " + s.refusal);
  }
}

void ReceiverBridge::settle(SinkState& s, const platform::TimeSample& sample, bool taken) {
  if (!taken) {
    ++counters_.samplesLost;
    ++s.lost;
    return;
  }
  ++counters_.samples;
  ++s.taken;
  s.lastOffset = sample.offsetSeconds;
  s.lastTaken = clock_.realNow();
  if (!s.refusal.empty()) log_(s.sink->taker() + " takes the time samples at " + s.sink->path() + " now");
  s.refusal.clear();
}

void ReceiverBridge::dropStale() {
  // What no reader took of the earlier epochs is given up, here and in the device's buffer, so
  // that the reader's next read is the epoch that has just begun.
  std::size_t gone = queued_;
  queue_.clear();
  frontOffset_ = 0;
  queued_ = 0;
  if (endpoint_) {
    // A terminal that cannot be flushed keeps those bytes; the next epoch tries again.
    gone += endpoint_->discardUnread().value_or(0);
  }
  counters_.stale += gone;
  // Normal until a reader opens the device (gpsd starts after the bridge), and while one pauses:
  // said once, for what it means.
  if (gone > 0 && !staleSaid_ && endpoint_) {
    log_("nothing reads " + endpoint_->path() + " yet, or its reader paused: each epoch's bytes wait for a reader " +
         "until the next epoch begins, so a reader always starts at the current epoch (said once)");
    staleSaid_ = true;
  }
}

void ReceiverBridge::enqueue(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return;
  counters_.fromUnit += bytes.size();
  if (!endpoint_) return;
  if (queue_.empty() || queue_.back().size() >= kChunkBytes) queue_.emplace_back();
  queue_.back().insert(queue_.back().end(), bytes.begin(), bytes.end());
  queued_ += bytes.size();
  if (queued_ <= options_.queueLimit) return;

  if (!overflowing_) {
    log_("the reader of " + endpoint_->path() + " does not keep up: " + std::to_string(queued_) +
         " bytes wait for it; dropping the oldest beyond " + std::to_string(options_.queueLimit));
    overflowing_ = true;
  }
  while (queued_ > options_.queueLimit) {
    std::vector<std::uint8_t>& front = queue_.front();
    const std::size_t drop = std::min(front.size() - frontOffset_, queued_ - options_.queueLimit);
    frontOffset_ += drop;
    queued_ -= drop;
    counters_.dropped += drop;
    if (frontOffset_ == front.size()) {
      queue_.pop_front();
      frontOffset_ = 0;
    }
  }
}

bool ReceiverBridge::flush() {
  while (endpoint_ && queued_ > 0) {
    const std::vector<std::uint8_t>& front = queue_.front();
    const platform::IoResult r = endpoint_->write(std::span(front).subspan(frontOffset_));
    if (!r) {
      log_(r.failure().reason);
      return false;
    }
    if (*r == 0) break;
    counters_.toReader += *r;
    frontOffset_ += *r;
    queued_ -= *r;
    if (frontOffset_ == front.size()) {
      queue_.pop_front();
      frontOffset_ = 0;
    }
  }
  if (overflowing_ && queued_ <= options_.queueLimit / 2) {
    log_("the reader of " + endpoint_->path() + " keeps up again; " + std::to_string(counters_.dropped) +
         " bytes were dropped so far");
    overflowing_ = false;
  }
  return true;
}

bool ReceiverBridge::drainReader() {
  if (!endpoint_) return true;
  const platform::IoResult r = endpoint_->drain();
  if (!r) {
    log_(r.failure().reason);
    return false;
  }
  counters_.discarded += *r;
  return true;
}

}  // namespace tamrik::bridge

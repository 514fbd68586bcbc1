#pragma once
// The receiver bridge of `tamrikctl receiver`: copies the receiver bytes a unit sends in its input
// reports into a pseudo-terminal (or a named pipe) that gpsd or any serial-port reader opens at
// PATH, in order, nothing duplicated or reordered, and sends chrony one time sample per receiver
// epoch (EpochStamper), or does either alone.
//
// The unit side is a ReceiverSource and the system's side the interfaces of platform/bridge_io.h,
// so that the engine runs with fakes in tests and with the unit and the POSIX devices in the
// program. The reader side never stops the unit: the endpoint is non-blocking and bytes the reader
// has not taken yet wait in memory, but only until the next epoch starts: a reader that opens
// late, or falls more than about an epoch behind, starts at the current epoch. The loop waits at
// most one poll period at a time, so a byte reaches the endpoint within one poll period of the
// report that carried it. chrony's absence never holds the loop up.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/epoch_stamper.h"
#include "base/result.h"
#include "platform/bridge_io.h"

namespace tamrik::bridge {

class StreamClients;

// Where the receiver bytes come from: a unit, whose input reports carry them.
class ReceiverSource {
 public:
  virtual ~ReceiverSource() = default;
  // Opens the unit and switches its receiver messages on. Fails as NoUnit when no unit is attached,
  // none with the serial asked for, or several and none chosen; as UnitFailed when the unit was
  // found but did not answer.
  virtual base::Result<void> open() = 0;
  virtual bool opened() const = 0;
  // Waits at most `timeout` for input reports and appends the receiver bytes they carry to
  // `bytes`, in order. False when the unit is gone; the source is closed then.
  virtual bool read(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds timeout) = 0;
  // The unit's name in messages (its serial once known).
  virtual std::string name() const = 0;
  // Hands the receiver a poll: a UBX message of that class and id without a payload. False when
  // the unit did not take it (or the source cannot pass messages to its receiver).
  virtual bool passPoll(std::uint8_t /*messageClass*/, std::uint8_t /*messageId*/) { return false; }
};

struct BridgeOptions {
  // The longest wait in one round of the loop: for the unit's next report, or for the reader.
  std::chrono::milliseconds pollPeriod{10};
  // Bytes kept for a reader that does not keep up, while the receiver's epochs are not known
  // (once they are, only the current epoch's bytes wait); beyond it the oldest are dropped,
  // saying so.
  std::size_t queueLimit = 8u << 20;
  // Pauses between attempts to open the unit again after it was lost: the first, doubling up to
  // the longest.
  std::chrono::milliseconds retryFirst{100};
  std::chrono::milliseconds retryLongest{2000};
};

struct BridgeCounters {
  std::uint64_t fromUnit = 0;      // receiver bytes read from the unit
  std::uint64_t toReader = 0;      // bytes written into the endpoint
  std::uint64_t dropped = 0;       // oldest bytes given up because the queue was full
  std::uint64_t stale = 0;         // bytes of earlier epochs no reader took, given up at a new epoch
  std::uint64_t epochs = 0;        // epochs found in the stream
  std::uint64_t samplesMade = 0;   // time samples made (one per epoch that gives one)
  std::uint64_t samples = 0;       // time samples the sinks took (each sink's count)
  std::uint64_t samplesLost = 0;   // time samples a sink did not take
  std::uint64_t discarded = 0;     // bytes the reader wrote, read and thrown away
  std::uint64_t losses = 0;        // times the unit was lost
  std::uint64_t reopens = 0;       // times it was opened again
};

class ReceiverBridge {
 public:
  using Log = std::function<void(const std::string&)>;

  // What became of the samples at one sink (chronyd's socket, NTP's shared memory).
  struct SinkState {
    platform::TimeSampleSink* sink = nullptr;
    std::uint64_t taken = 0;
    std::uint64_t lost = 0;
    std::optional<double> lastOffset;  // of the last sample it took, in seconds
    std::optional<std::chrono::system_clock::time_point> lastTaken;  // when it last took one
    std::string refusal;  // why it does not take them now; "" while it does (or before the first)
    std::optional<platform::TimeSample> waiting;  // left for a taker that reads later, not yet known taken
  };

  // The source is expected open (the program opens it first, to exit when it cannot). The endpoint
  // may be missing, and so may the sinks, not both.
  ReceiverBridge(ReceiverSource& source, platform::ReaderEndpoint* endpoint, std::vector<platform::TimeSampleSink*> sinks,
            platform::BridgeWait& wait, platform::BridgeClock& clock, BridgeOptions options, Log log);

  enum class Step {
    Running,
    Stopped,  // the wait saw the stop signal
    Failed,   // the endpoint failed for good (said in the log)
  };
  // One round: reads the unit, or tries to open it again when it was lost and the pause is over;
  // stamps the read and sends each time-sample sink the epoch's sample when it has one; then takes what the
  // reader wrote and hands the reader what it can take, waiting for the endpoint only while the
  // unit is not open (the read itself waits while it is).
  Step step();
  // Rounds until the stop signal: true, or until the endpoint fails: false.
  bool run();
  // Serves the receiver's bytes to the clients of a TCP port too (bridge/stream_clients.h), each
  // round after the endpoint; a listener that fails for good fails the bridge as the endpoint does.
  void serveClients(StreamClients* clients) { clients_ = clients; }
  const StreamClients* clients() const { return clients_; }

  const BridgeCounters& counters() const { return counters_; }
  std::size_t queued() const { return queued_; }
  const EpochStamper& stamper() const { return stamper_; }
  const std::vector<SinkState>& sinks() const { return sinks_; }
  // When the last time sample was made (stamped: the host's time at its epoch's first bytes).
  std::optional<std::chrono::system_clock::time_point> lastSampleMade() const { return lastSampleMade_; }
  // Called with every sample made, whether chrony took it or not (for measurements).
  std::function<void(const platform::TimeSample&)> onSample;

 private:
  Step serveEndpoint(std::chrono::milliseconds wait);
  void enqueue(const std::vector<std::uint8_t>& bytes);
  void dropStale();
  void sendSample(const platform::TimeSample& sample);
  void sendTo(SinkState& s, const platform::TimeSample& sample);
  void settle(SinkState& s, const platform::TimeSample& sample, bool taken);
  bool flush();
  bool drainReader();
  std::string readerName() const;

  ReceiverSource& source_;
  platform::ReaderEndpoint* endpoint_;
  StreamClients* clients_ = nullptr;
  std::vector<SinkState> sinks_;
  std::optional<std::chrono::system_clock::time_point> lastSampleMade_;
  platform::BridgeWait& wait_;
  platform::BridgeClock& clock_;
  BridgeOptions options_;
  Log log_;
  BridgeCounters counters_;
  std::vector<std::uint8_t> incoming_;
  std::deque<std::vector<std::uint8_t>> queue_;
  std::size_t frontOffset_ = 0;  // bytes of queue_.front() already written
  std::size_t queued_ = 0;
  bool overflowing_ = false;
  bool staleSaid_ = false;       // said that an epoch went stale for want of a reader (said once)
  EpochStamper stamper_;
  std::chrono::milliseconds retryDelay_{0};
  std::chrono::steady_clock::time_point nextOpen_{};
  std::string lastOpenFailure_;
};

}  // namespace tamrik::bridge

#pragma once
// The receiver bridge of `tamrikctl receiver --pty PATH`: copies the receiver bytes a unit sends in
// its input reports into a pseudo-terminal (or a named pipe) that gpsd or any serial-port reader
// opens at PATH, in order, nothing dropped, duplicated or reordered.
//
// The unit side is a ReceiverSource, so that the engine runs with a fake in tests and with the
// unit in the program. The reader side never stops the unit: the endpoint is non-blocking and
// bytes the reader has not taken yet wait in memory. The loop waits at most one poll period at a
// time, so a byte reaches the endpoint within one poll period of the report that carried it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/tamrikctl/bridge_arguments.h"

namespace tamrik::ctl {

enum class SourceFailure {
  None,
  NoUnit,      // no unit attached, none with the serial asked for, or several and none chosen
  NoAnswer,    // the unit was found but did not answer
};

struct SourceOpen {
  SourceFailure failure = SourceFailure::None;
  std::string reason;  // one line, when failure is not None
  bool ok() const { return failure == SourceFailure::None; }
};

// Where the receiver bytes come from: a unit, whose input reports carry them.
class ReceiverSource {
 public:
  virtual ~ReceiverSource() = default;
  // Opens the unit and switches its receiver messages on.
  virtual SourceOpen open() = 0;
  virtual bool opened() const = 0;
  // Waits at most `timeout` for input reports and appends the receiver bytes they carry to
  // `bytes`, in order. False when the unit is gone; the source is closed then.
  virtual bool read(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds timeout) = 0;
  // The unit's name in messages (its serial once known).
  virtual std::string name() const = 0;
};

// The reader's side: a pseudo-terminal whose master we write, or a named pipe, and PATH, a
// symbolic link to it. Made on creation, taken away again on destruction.
class BridgeEndpoint {
 public:
  // "" when PATH may be used: absent, or a symbolic link (left over from an earlier run), which
  // is replaced. Anything else is refused with the reason.
  static std::string checkPath(const std::string& path);
  // Where a named pipe for PATH is made: beside it, hidden (".NAME.pipe"). gpsd refuses a device
  // that another process holds open under the name it was given, except a pseudo-terminal; under
  // the link's name it does not see us.
  static std::string pipePath(const std::string& path);
  // Makes the endpoint at PATH; nullptr with the reason in `error` when it cannot.
  static std::unique_ptr<BridgeEndpoint> create(EndpointKind kind, const std::string& path, std::string& error);

  ~BridgeEndpoint();
  BridgeEndpoint(const BridgeEndpoint&) = delete;
  BridgeEndpoint& operator=(const BridgeEndpoint&) = delete;

  EndpointKind kind() const { return kind_; }
  const std::string& path() const { return path_; }
  // The pseudo-terminal's slave device (/dev/pts/N), or the named pipe.
  const std::string& deviceName() const { return device_; }
  // Written with the receiver bytes; non-blocking.
  int writeFd() const { return writeFd_; }
  // What the reader writes arrives here (the pseudo-terminal's master); -1 for a named pipe.
  int drainFd() const { return kind_ == EndpointKind::Pty ? writeFd_ : -1; }

 private:
  BridgeEndpoint(EndpointKind kind, std::string path) : kind_(kind), path_(std::move(path)) {}
  std::string openPty();
  std::string openPipe();
  std::string makeLink();
  void removeFiles();

  EndpointKind kind_;
  std::string path_;
  std::string device_;
  std::string linkTarget_;  // what PATH points to, once made
  int writeFd_ = -1;
  // Our own open of the slave side: while it is open the master never hangs up, whatever the
  // reader does. Never read from, so every byte goes to the reader.
  int slaveFd_ = -1;
  // The named pipe we made, to take away only that one at the end.
  std::uint64_t pipeDevice_ = 0;
  std::uint64_t pipeInode_ = 0;
};

struct BridgeOptions {
  // The longest wait in one round of the loop: for the unit's next report, or for the reader.
  std::chrono::milliseconds pollPeriod{10};
  // Bytes kept for a reader that does not keep up; beyond it the oldest are dropped, saying so.
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
  std::uint64_t discarded = 0;     // bytes the reader wrote, read and thrown away
  std::uint64_t losses = 0;        // times the unit was lost
  std::uint64_t reopens = 0;       // times it was opened again
};

class PtyBridge {
 public:
  using Log = std::function<void(const std::string&)>;

  // The source is expected open (the program opens it first, to exit when it cannot).
  PtyBridge(ReceiverSource& source, BridgeEndpoint& endpoint, BridgeOptions options, Log log);

  enum class Step {
    Running,
    Stopped,  // stopFd became readable
    Failed,   // the endpoint failed for good (said in the log)
  };
  // One round: reads the unit, or tries to open it again when it was lost and the pause is over;
  // then takes what the reader wrote and hands the reader what it can take, waiting for the
  // endpoint only while the unit is not open (the read itself waits while it is).
  Step step(int stopFd = -1);
  // Rounds until stopFd becomes readable (a signalfd for SIGINT and SIGTERM): true, or until the
  // endpoint fails: false.
  bool run(int stopFd);

  const BridgeCounters& counters() const { return counters_; }
  std::size_t queued() const { return queued_; }

 private:
  Step serveEndpoint(std::chrono::milliseconds wait, int stopFd);
  void enqueue(const std::vector<std::uint8_t>& bytes);
  bool flush();
  bool drainReader();

  ReceiverSource& source_;
  BridgeEndpoint& endpoint_;
  BridgeOptions options_;
  Log log_;
  BridgeCounters counters_;
  std::vector<std::uint8_t> incoming_;
  std::deque<std::vector<std::uint8_t>> queue_;
  std::size_t frontOffset_ = 0;  // bytes of queue_.front() already written
  std::size_t queued_ = 0;
  bool overflowing_ = false;
  std::chrono::milliseconds retryDelay_{0};
  std::chrono::steady_clock::time_point nextOpen_{};
  std::string lastOpenFailure_;
};

}  // namespace tamrik::ctl

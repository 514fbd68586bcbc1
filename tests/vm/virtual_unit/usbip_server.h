#pragma once
// A USB/IP server exporting the one virtual unit: it lists and imports the unit under its bus ID,
// then answers the URBs of the connection that imported it. One thread, one poll() loop; every
// wait in it is bounded, and a connection that sends what it should not is closed alone.
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/vm/virtual_unit/usbip_protocol.h"
#include "tests/vm/virtual_unit/virtual_unit.h"

namespace tamrik::vm {

struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 3240;  // 0: any free port
  std::string busId = "1-1";
  bool verbose = false;  // log every control transfer and unlink
};

class UsbipServer {
 public:
  UsbipServer(VirtualUnit& unit, ServerOptions options);
  ~UsbipServer();
  UsbipServer(const UsbipServer&) = delete;
  UsbipServer& operator=(const UsbipServer&) = delete;

  // Opens the listening socket. Returns an error message, or "".
  std::string listen();
  int port() const { return port_; }

  // Serves until SIGTERM or SIGINT. The signal handlers write each signal's number as one byte
  // into wakeFd's pipe; SIGUSR1 unplugs the unit, SIGUSR2 plugs it in again, SIGRTMIN stops its
  // answers to feature requests and SIGRTMIN+1 brings them back.
  void run(int wakeFd);

 private:
  struct Connection;
  using Clock = std::chrono::steady_clock;

  void follow();  // the unit's attachment: close the importer on an unplug, export anew
  void serve(Connection& c);
  bool readFrom(Connection& c);
  bool process(Connection& c);
  bool processOperation(Connection& c);
  bool processUrbs(Connection& c);
  void submit(Connection& c, const UrbHeader& h, std::vector<std::uint8_t> data);
  void unlink(Connection& c, const UrbHeader& h);
  void answerControl(Connection& c, std::uint32_t seqnum, const SetupPacket& setup, const VirtualUnit::ControlReply& r,
                     std::uint32_t bufferLength, std::size_t outLength);
  bool flush(Connection& c);
  void drop(Connection& c, const std::string& why);
  bool handleSignals(int wakeFd);  // false: stop
  std::optional<ExportedDevice> exported();

  VirtualUnit& unit_;
  ServerOptions options_;
  int listenFd_ = -1;
  int port_ = 0;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::optional<std::string> exportedPath_;  // the attachment exported now
  std::uint32_t exports_ = 0;                // one more each time the unit is plugged in
};

}  // namespace tamrik::vm

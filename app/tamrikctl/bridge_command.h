#pragma once
// `tamrikctl [--unit SERIAL] receiver` with the bridge's options: the unit's receiver bytes for gpsd
// and other serial-port readers (--pty, --fifo) and TCP clients (--tcp), its time for chrony
// (--chrony) and ntpd (--ntp-shm), and the bridge's own figures (--metrics), until SIGINT, SIGTERM
// or SIGHUP.

#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "app/tamrikctl/ctl_host.h"
#include "app/tamrikctl/global_options.h"

namespace tamrik::ctl {

// Runs the bridge on the host's units and clock; returns the exit status (0 after a stop signal).
int receiverCommand(const GlobalOptions& global, Host& host, std::span<const std::string_view> args,
                    std::ostream& out, std::ostream& err);

// The bridge's lines in `tamrikctl --help` and in the receiver command's help. It feeds gpsd and
// chrony, which run on Linux only; the TCP port is served on both systems.
#define TAMRIK_BRIDGE_TCP_SUMMARY                                                                 \
  "  receiver --tcp ADDR:PORT [--receiver-polls]\n"                                               \
  "                       Serve the receiver's bytes on a TCP port (PORT alone: on 127.0.0.1)\n" \
  "                       to up to 16 clients (u-center, PyGPSClient, gpsd tcp://ADDR:PORT),\n" \
  "                       each from an epoch's start; one that falls two epochs behind is\n"    \
  "                       dropped. What they send is thrown away; with --receiver-polls their\n" \
  "                       UBX polls (messages without a payload) reach the receiver, one at a\n" \
  "                       time, and nothing else does.\n"                                     \
  "  receiver --ntp-shm N Write one time sample per receiver epoch, stamped as for chrony,\n"  \
  "                       into NTP's shared memory unit N (0 to 255; 0 and 1 root's alone),\n" \
  "                       for ntpd's and ntpsec's SHM driver ('refclock shm unit N', or\n"    \
  "                       'server 127.127.28.N'); on Windows the mapping Global\\NTP<N>.\n"   \
  "  --metrics ADDR:PORT  With any of the above: serve the bridge's own figures (samples made,\n" \
  "                       withheld and taken, the last offset, TCP clients, polls) for\n"      \
  "                       Prometheus at http://ADDR:PORT/metrics.\n"
#define TAMRIK_BRIDGE_TCP_OPTIONS                                                                 \
  "  --tcp ADDR:PORT      Serve the raw receiver bytes to TCP clients at ADDR:PORT.\n"           \
  "  --receiver-polls     Let the TCP clients' UBX polls through to the receiver.\n"           \
  "  --ntp-shm N          Send the receiver's time to NTP's shared memory unit N.\n"          \
  "  --metrics ADDR:PORT  Serve the bridge's figures for Prometheus.\n"
#ifdef _WIN32
#define TAMRIK_BRIDGE_SUMMARY                                                    \
  "  receiver --pty PATH, receiver --fifo PATH, receiver --chrony SOCKET\n"      \
  "                       Linux only: the receiver's bytes for gpsd and its time\n" \
  "                       for chrony. Not available on Windows.\n" TAMRIK_BRIDGE_TCP_SUMMARY
#define TAMRIK_BRIDGE_OPTIONS \
  "  --pty PATH, --fifo PATH, --chrony SOCKET\n                       Linux only.\n" TAMRIK_BRIDGE_TCP_OPTIONS
#else
#define TAMRIK_BRIDGE_SUMMARY                                                               \
  "  receiver --pty PATH  Copy the unit's receiver bytes (UBX, as the receiver sends them)\n" \
  "                       into a pseudo-terminal and make PATH a symbolic link to it, for\n" \
  "                       gpsd and other serial-port readers; what they write into it is\n" \
  "                       thrown away. A reader gets the current epoch, never older ones.\n" \
  "                       Runs until SIGINT, SIGTERM or SIGHUP, then takes PATH away. A\n"    \
  "                       unit unplugged meanwhile is waited for. A PATH that another\n"      \
  "                       bridge serves, or a link there that no bridge made, is refused.\n"                                         \
  "  receiver --fifo PATH\n"                                                                  \
  "                       The same through a named pipe (.NAME.pipe beside PATH, which\n"    \
  "                       links to it), for gpsd 3.23 and older, which hand the time they\n"  \
  "                       read from a pipe to chrony.\n"                                      \
  "  receiver --chrony SOCKET [--pty PATH | --fifo PATH]\n"                                    \
  "                       Send chronyd one time sample per receiver epoch, stamped when its\n" \
  "                       first bytes arrive, to the socket of a 'refclock SOCK SOCKET'\n"    \
  "                       line; with --pty or --fifo, feed gpsd at the same time. Waits for\n" \
  "                       chronyd when it is not (yet) listening.\n" TAMRIK_BRIDGE_TCP_SUMMARY
#define TAMRIK_BRIDGE_OPTIONS                                                                 \
  "  --pty PATH           Serve the raw receiver bytes in a pseudo-terminal linked at PATH\n" \
  "                       (see 'tamrikctl receiver --pty PATH --help').\n"                   \
  "  --fifo PATH          The same through a named pipe.\n"                                  \
  "  --chrony SOCKET      Send the receiver's time to chronyd's SOCK refclock at SOCKET.\n" TAMRIK_BRIDGE_TCP_OPTIONS
#endif

inline std::string receiverCommandHelp() { return TAMRIK_BRIDGE_SUMMARY; }

}  // namespace tamrik::ctl

#pragma once
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace tamrik::sim {

// Faults that the simulated units can be told to show, by the API or by a schedule such as
//   unplug:SIM001@3000,replug:SIM001@5000,stall:SIM002@2000,corrupt:SIM002@1000=0.02
//
// Grammar (whitespace around entries is ignored):
//   SPEC   := ENTRY { "," ENTRY }
//   ENTRY  := ACTION ":" SERIAL [ "@" MS ] [ "=" VALUE ]
//   MS     := milliseconds since the simulation started, 0 to 86400000; 0 when left out
//   SERIAL := the serial number the unit carries when the entry fires (letters, digits, "-", "_",
//             ".", up to 50 characters)
// Actions:
//   unplug                the unit leaves enumeration; its open handles fail
//   replug                it comes back (a power cycle) under a new path
//   replug-as=NEWSERIAL   the same, under another serial number
//   serial-change=NEWSER  as if programmed with a new serial: it re-enumerates under NEWSER
//   stall, resume         input reports stop (reads time out) / start again
//   corrupt[=P]           flip receiver bytes with probability P (0 to 1, default 0.01; 0 ends it)
//   drop[=P]              drop receiver bytes with probability P (default 0.01; 0 ends it)
//   signal-loss, signal   the GPS signal goes away / comes back. The unit counts the loss as a real
//                         one does: its 8-bit signal loss count goes up by one (255 runs on to 0),
//                         and a power cycle (replug) starts the count again from 0
//   signal-flicker[=N]    the signal drops out and comes back N times (1 to 255, default 1) between
//                         two input reports: the count goes up by N, the flag never shows it
//   pll-unlock, pll-lock  the PLL loses its lock / locks again after its relock time
//   exclusive, shared     another program holds the unit exclusively (open fails) / lets go
//   no-serial, serial-ok  the serial-number string request fails / works again
//   short-feature[=N]     the feature report is N bytes long (default 16, 1 to 64)
//   wide-strings          the strings carry code units above 0xFF (the serial keeps its low bytes)
//   firmware=VERSION      the firmware version, e.g. 0x0114 or 276
//   no-answer, answer     feature requests get no answer: each fails once the host has waited
//                         its bound (1 s) / they are answered again
enum class FaultKind {
  Unplug,
  Replug,
  ReplugAs,
  SerialChange,
  Stall,
  Resume,
  Corrupt,
  Drop,
  SignalLoss,
  Signal,
  SignalFlicker,
  PllUnlock,
  PllLock,
  Exclusive,
  Shared,
  NoSerial,
  SerialOk,
  ShortFeature,
  WideStrings,
  Firmware,
  NoAnswer,
  Answer,
};

struct FaultEvent {
  FaultKind kind = FaultKind::Unplug;
  std::string serial;
  std::chrono::milliseconds at{0};
  std::string newSerial;     // replug-as, serial-change
  double probability = 0;    // corrupt, drop
  int number = 0;            // short-feature length, firmware version, signal-flicker count
  std::string text;          // the entry as written, for messages
};

struct FaultSpecResult {
  std::vector<FaultEvent> events;
  std::string error;  // empty when the whole spec was understood
};

FaultSpecResult parseFaultSpec(std::string_view spec);

// Checks that every entry names a unit that carries that serial number when it fires, following
// the renames of earlier entries. Returns an error message, or an empty string.
std::string checkFaultSerials(const std::vector<FaultEvent>& events, const std::vector<std::string>& initialSerials);

std::string_view faultKindName(FaultKind kind);

}  // namespace tamrik::sim

#pragma once
// tamrikctl's commands. Each is described by a CommandSpec beside its code: its name, the lines
// it adds to `tamrikctl --help`, its own help (`tamrikctl help NAME`, `tamrikctl NAME --help`) and
// the function that runs it. The table in commands.cpp lists them; a new command is one more line
// there.

#include <chrono>
#include <span>
#include <string>
#include <string_view>

namespace tamrik::ctl {

struct CommandContext;

// How long one read of the receiver may wait, so that a stop or a deadline is seen in time.
inline constexpr std::chrono::milliseconds kReadSlice{100};

using CommandFunction = int (*)(CommandContext& ctx, std::span<const std::string_view> args);

struct CommandSpec {
  std::string_view name;
  // After "tamrikctl [options] ": "status [--json | --prometheus] [--wait SECONDS]".
  std::string_view synopsis;
  // Its lines in the "Commands:" list of `tamrikctl --help`, each starting with two blanks and
  // the command's name, the description indented by 23 blanks.
  std::string_view overview;
  // The rest of its own help, after the usage line.
  std::string_view details;
  CommandFunction run;
  bool reachesUnits;  // whether the options before the command (--unit, --simulate, ...) apply
};

std::span<const CommandSpec* const> commands();
const CommandSpec* findCommand(std::string_view name);

// The help of one command.
std::string commandHelp(const CommandSpec& command);

// The commands, each defined beside its code, in the order of `tamrikctl --help`.
extern const CommandSpec kPlanCommand;
extern const CommandSpec kListCommand;
extern const CommandSpec kStatusCommand;
extern const CommandSpec kSetFrequencyCommand;
extern const CommandSpec kOutputCommand;
extern const CommandSpec kDriveCommand;
extern const CommandSpec kBlinkCommand;
extern const CommandSpec kFactoryDefaultsCommand;
extern const CommandSpec kWriteRegisterCommand;
extern const CommandSpec kSetSerialCommand;
extern const CommandSpec kReceiverCommand;
extern const CommandSpec kRecordCommand;
extern const CommandSpec kWatchCommand;
extern const CommandSpec kExporterCommand;
#ifndef _WIN32
extern const CommandSpec kTimeServerCommand;  // Linux: chrony, systemd and AppArmor
#endif

}  // namespace tamrik::ctl

#include "app/tamrikctl/commands/commands.h"

#include "app/tamrikctl/global_options.h"

namespace tamrik::ctl {

namespace {

// In the order of `tamrikctl --help`.
constexpr const CommandSpec* kCommands[] = {
    &kPlanCommand,
    &kListCommand,
    &kStatusCommand,
    &kSetFrequencyCommand,
    &kOutputCommand,
    &kDriveCommand,
    &kBlinkCommand,
    &kFactoryDefaultsCommand,
    &kWriteRegisterCommand,
    &kSetSerialCommand,
    &kReceiverCommand,
    &kRecordCommand,
    &kWatchCommand,
    &kExporterCommand,
#ifndef _WIN32
    &kTimeServerCommand,
#endif
};

}  // namespace

std::span<const CommandSpec* const> commands() { return kCommands; }

const CommandSpec* findCommand(std::string_view name) {
  for (const CommandSpec* command : kCommands) {
    if (command->name == name) return command;
  }
  return nullptr;
}

std::string commandHelp(const CommandSpec& command) {
  std::string text = "Usage: tamrikctl ";
  if (command.reachesUnits) text += "[options] ";
  text += std::string(command.synopsis) + "\n\n" + std::string(command.details);
  if (command.reachesUnits) {
    text += "\nOptions before the command:\n" + globalOptionsHelp();
  }
  return text;
}

}  // namespace tamrik::ctl

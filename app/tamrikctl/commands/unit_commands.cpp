// tamrikctl output, drive, blink, write-register and set-serial: the unit's one-value commands,
// with the checks the window makes before it sends them.
#include <cmath>

#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/ctl_context.h"
#include "text/json_writer.h"
#include "text/key_value_lines.h"
#include "numbers/number_format.h"
#include "core/protocol.h"

namespace tamrik::ctl {

namespace {

// Reads the arguments of a command that takes `count` operands and no options. Nothing when the
// command goes on; else the status to end it with, after its help or a usage error.
std::optional<int> takeOperands(CommandContext& ctx, std::span<const std::string_view> args, std::size_t count,
                                std::string_view names, CommandArguments& a) {
  a = parseCommandArguments(args, {});
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, a.error);
  if (a.operands.size() != count) {
    return ctx.fail(kExitUsage, "expected " + std::string(names) + ", got " + std::to_string(a.operands.size()) +
                                    " argument" + (a.operands.size() == 1 ? "" : "s"));
  }
  return std::nullopt;
}

std::optional<bool> onOff(std::string_view text) {
  if (text == "on") return true;
  if (text == "off") return false;
  return std::nullopt;
}

// Opens the unit for a change and reads its settings back, as the window has them read before it
// lets the user command the unit.
int openForCommand(UnitAccess& access) {
  if (const int status = access.start(); status != kExitOk) return status;
  if (const int status = access.open(UnitAccess::Purpose::Change); status != kExitOk) return status;
  core::UnitReadback readback;
  return access.readBack(readback);
}

// A whole number from 0 to 255 as the window reads REG and DATA: a number, a fraction going to
// the nearest integer (halves to even).
std::optional<std::uint8_t> byteValue(std::string_view text) {
  const base::Result<double> n = parseNumber(text);
  if (!n) return std::nullopt;
  const double r = numbers::roundHalfEven(*n);
  if (!(r >= 0 && r <= 255)) return std::nullopt;
  return static_cast<std::uint8_t>(r);
}

int runOutput(CommandContext& ctx, std::span<const std::string_view> args) {
  CommandArguments a;
  if (const auto done = takeOperands(ctx, args, 1, "on or off", a)) return *done;
  const auto on = onOff(a.operands[0]);
  if (!on) return ctx.fail(kExitBadArgument, "'" + text::lineValue(a.operands[0]) + "' is neither on nor off");
  UnitAccess access(ctx);
  if (const int status = openForCommand(access); status != kExitOk) return status;
  if (!access.unit().setOutputEnabled(*on)) {
    return ctx.fail(kExitUnitFailed, access.unitName() + " did not take the output command" + access.why());
  }
  core::UnitReadback after;
  if (const int status = access.readBack(after); status != kExitOk) return status;
  if (after.settings->outputEnabled != *on) {
    return ctx.fail(kExitUnitFailed, access.unitName() + " reports its output " + (*on ? "off" : "on") +
                                         " after it was switched " + (*on ? "on" : "off"));
  }
  return ctx.print(std::string("output_enabled=") + (*on ? "1" : "0") + "\n");
}

int runDrive(CommandContext& ctx, std::span<const std::string_view> args) {
  CommandArguments a;
  if (const auto done = takeOperands(ctx, args, 1, "a drive strength", a)) return *done;
  const auto index = core::driveIndexOf(a.operands[0]);
  if (!index) {
    return ctx.fail(kExitBadArgument,
                    "'" + text::lineValue(a.operands[0]) + "' is not a drive strength; use one of " + driveStrengthList());
  }
  UnitAccess access(ctx);
  if (const int status = openForCommand(access); status != kExitOk) return status;
  if (!access.unit().setDriveStrength(*index)) {
    return ctx.fail(kExitUnitFailed, access.unitName() + " did not take the drive strength" + access.why());
  }
  core::UnitReadback after;
  if (const int status = access.readBack(after); status != kExitOk) return status;
  if (after.settings->driveIndex != *index) {
    return ctx.fail(kExitUnitFailed, access.unitName() + " reports the drive strength " +
                                         driveText(after.settings->driveIndex) + ", not " + driveText(*index));
  }
  return ctx.print("drive=" + driveText(*index) + "\n");
}

int runBlink(CommandContext& ctx, std::span<const std::string_view> args) {
  CommandArguments a;
  if (const auto done = takeOperands(ctx, args, 1, "on or off", a)) return *done;
  const auto on = onOff(a.operands[0]);
  if (!on) return ctx.fail(kExitBadArgument, "'" + text::lineValue(a.operands[0]) + "' is neither on nor off");
  UnitAccess access(ctx);
  if (const int status = openForCommand(access); status != kExitOk) return status;
  if (!access.unit().setBlink(*on)) return ctx.fail(kExitUnitFailed, access.unitName() + " did not take the blink command" + access.why());
  return ctx.print(std::string("blink=") + (*on ? "1" : "0") + "\n");
}

int runWriteRegister(CommandContext& ctx, std::span<const std::string_view> args) {
  CommandArguments a;
  if (const auto done = takeOperands(ctx, args, 2, "<REG> <DATA>", a)) return *done;
  const auto reg = byteValue(a.operands[0]);
  const auto data = byteValue(a.operands[1]);
  if (!reg || !data) {
    return ctx.fail(kExitBadArgument, std::string(!reg ? "REG" : "DATA") + " must be a whole number from 0 to 255, not '" +
                                          text::lineValue(a.operands[!reg ? 0 : 1]) + "'; nothing was sent");
  }
  UnitAccess access(ctx);
  if (const int status = openForCommand(access); status != kExitOk) return status;
  if (!access.unit().writeRegister(*reg, *data)) {
    return ctx.fail(kExitUnitFailed, access.unitName() + " did not take the register write" + access.why());
  }
  return ctx.print("register=" + std::to_string(*reg) + "\ndata=" + std::to_string(*data) + "\n");
}

int runSetSerial(CommandContext& ctx, std::span<const std::string_view> args) {
  CommandArguments a;
  if (const auto done = takeOperands(ctx, args, 1, "a serial number", a)) return *done;
  const std::string_view serial = a.operands[0];
  if (const core::SerialNumberCheck check = core::planSerialNumber(serial); !check.plan) {
    return ctx.fail(kExitBadArgument, check.problem + " Nothing was sent.");
  }
  UnitAccess access(ctx);
  if (const int status = access.start(); status != kExitOk) return status;
  if (const int status = access.open(UnitAccess::Purpose::Change); status != kExitOk) return status;
  if (const int status = access.requireUsable(); status != kExitOk) return status;
  const std::string name = access.unitName();
  const core::Unit::SerialResult result = access.unit().setSerialNumber(serial);
  if (!result.problem.empty()) return ctx.fail(kExitBadArgument, result.problem);
  if (!result.sent) return ctx.fail(kExitUnitFailed, name + " did not take the serial number" + access.why());
  return ctx.print("serial=" + text::lineValue(serial) + "\nnext_serial=" + text::lineValue(result.next) + "\n");
}

}  // namespace

const CommandSpec kOutputCommand{
    "output",
    "output on|off",
    "  output on|off        Switch the unit's clock output on or off (the window's \"Enable\n"
    "                       output\" box); read back and print output_enabled=1 or 0.\n",
    "Switch the unit's clock output on or off, as the window's \"Enable output\" box does, then\n"
    "read the unit back: it must report the output so. Prints output_enabled=1 or 0.\n"
    "\n"
    "Exit status: 0 done; 1 the output could not be written; 2 neither on nor off; 3 no unit,\n"
    "none with the serial of --unit, or several and no --unit; 4 the unit's settings could not\n"
    "be read, or the unit did not take the command or does not report it; 64 usage.\n",
    runOutput,
    true,
};

const CommandSpec kDriveCommand{
    "drive",
    "drive <text>",
    "  drive <text>         Set the output drive strength to one of the window's entries:\n"
    "                       8mA, 16mA, 24mA, 32mA; read back and print drive=<text>.\n",
    "Set the output drive strength, as the window's \"Output drive strength\" list does. <text>\n"
    "is one of its entries, exactly: 8mA, 16mA, 24mA or 32mA. The unit is read back and must\n"
    "report the new strength. Prints drive=<text>.\n"
    "\n"
    "Exit status: 0 done; 1 the output could not be written; 2 not one of the entries; 3 no\n"
    "unit, none with the serial of --unit, or several and no --unit; 4 the unit's settings\n"
    "could not be read, or the unit did not take the command or does not report it; 64 usage.\n",
    runDrive,
    true,
};

const CommandSpec kBlinkCommand{
    "blink",
    "blink on|off",
    "  blink on|off         Start or stop the blinking of the unit's front LED, to find it on\n"
    "                       the bench; prints blink=1 or 0.\n",
    "Start (on) or stop (off) the blinking of the unit's front LED, as the window's \"Blink LED\"\n"
    "button does. The unit does not report the LED, so nothing is read back. Prints blink=1 or\n"
    "0.\n"
    "\n"
    "Exit status: 0 done; 1 the output could not be written; 2 neither on nor off; 3 no unit,\n"
    "none with the serial of --unit, or several and no --unit; 4 the unit's settings could not\n"
    "be read, or the unit did not take the command; 64 usage.\n",
    runBlink,
    true,
};

const CommandSpec kWriteRegisterCommand{
    "write-register",
    "write-register <REG> <DATA>",
    "  write-register <REG> <DATA>\n"
    "                       Write the byte <DATA> into the unit's register <REG> (each 0 to\n"
    "                       255), as the window's \"Register write\" does.\n",
    "Write the byte <DATA> into the unit's register <REG>, as the window's \"Register write\"\n"
    "button does. Both are whole numbers from 0 to 255 in the C locale; a fraction goes to the\n"
    "nearest whole number (halves to the even one), as in the window. Nothing is read back.\n"
    "Prints register=<REG> and data=<DATA>.\n"
    "\n"
    "Exit status: 0 done; 1 the output could not be written; 2 <REG> or <DATA> is not a whole\n"
    "number from 0 to 255; 3 no unit, none with the serial of --unit, or several and no --unit;\n"
    "4 the unit's settings could not be read, or the unit did not take the command; 64 usage.\n",
    runWriteRegister,
    true,
};

const CommandSpec kSetSerialCommand{
    "set-serial",
    "set-serial <SN>",
    "  set-serial <SN>      Program the unit's serial number <SN> (six characters: a letter,\n"
    "                       digit or sign, then five digits); prints serial= and next_serial=.\n",
    "Program the unit's serial number, as the window's \"Set S/N\" button does. <SN> has six\n"
    "characters: the first a single printable character (a letter, digit or sign), then five\n"
    "digits, for example Q00001. The unit then leaves the bus and comes back under <SN> within\n"
    "a few seconds. Prints serial=<SN> and next_serial=, the serial that follows (Q00002), as\n"
    "the window offers it next.\n"
    "\n"
    "Exit status: 0 sent; 1 the output could not be written; 2 <SN> is not such a serial\n"
    "number; 3 no unit, none with the serial of --unit, or several and no --unit; 4 the unit\n"
    "cannot be commanded or did not take the serial number; 64 usage.\n",
    runSetSerial,
    true,
};

}  // namespace tamrik::ctl

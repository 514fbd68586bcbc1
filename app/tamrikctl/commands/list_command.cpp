// tamrikctl list: the attached units.
#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/ctl_context.h"
#include "text/json_writer.h"
#include "text/key_value_lines.h"

namespace tamrik::ctl {

namespace {

int runList(CommandContext& ctx, std::span<const std::string_view> args) {
  const CommandArguments a = parseCommandArguments(args, {{"--json"}});
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, a.error);
  if (!a.operands.empty()) return ctx.fail(kExitUsage, "takes no arguments, got '" + std::string(a.operands[0]) + "'");

  UnitAccess access(ctx);
  if (const int status = access.start(); status != kExitOk) return status;
  std::vector<core::UnitIdentity> units = access.unit().list();
  // Units that are attached but could not be opened (busy with another program, not permitted)
  // are not left out without a word: each is told on a line of its own on standard error.
  std::vector<core::UnopenedUnit> unopened = access.unit().unopened();
  if (ctx.global.unit) {
    const std::string& wanted = *ctx.global.unit;
    std::erase_if(units, [&](const core::UnitIdentity& u) { return u.serial != wanted; });
    std::erase_if(unopened, [&](const core::UnopenedUnit& u) { return u.serial != wanted; });
    if (units.empty()) {
      if (!unopened.empty()) return ctx.fail(kExitNoUnit, text::lineValue(core::unopenedText(unopened.front())));
      return ctx.fail(kExitNoUnit, "no unit with serial " + text::lineValue(wanted) + " is attached");
    }
  }
  for (const core::UnopenedUnit& u : unopened) ctx.err << "tamrikctl list: " << text::lineValue(core::unopenedText(u)) << "\n";
  ctx.err.flush();

  std::string text;
  if (a.has("--json")) {
    std::vector<std::string> objects;
    for (const core::UnitIdentity& u : units) {
      objects.push_back(text::JsonObject()
                            .text("serial", u.serial)
                            .text("manufacturer", u.manufacturer)
                            .text("product", u.product)
                            .text("firmware", u.firmware)
                            .boolean("usable", u.usable)
                            .str());
    }
    text = text::jsonArray(objects) + "\n";
  } else {
    for (const core::UnitIdentity& u : units) {
      if (!text.empty()) text += '\n';
      text += text::KeyValueLines()
                  .text("serial", u.serial)
                  .text("manufacturer", u.manufacturer)
                  .text("product", u.product)
                  .text("firmware", u.firmware)
                  .add("usable", u.usable ? "1" : "0")
                  .str();
    }
  }
  return ctx.print(text);
}

}  // namespace

const CommandSpec kListCommand{
    "list",
    "list [--json]",
    "  list [--json]        List the attached units: serial, manufacturer, product, firmware and\n"
    "                       usable (1 when the unit can be read and commanded).\n",
    "List the attached units, real and simulated, in the order the window lists them. For each\n"
    "unit a block of key=value lines: serial, manufacturer, product, firmware (the firmware\n"
    "version, as 1.20) and usable (1 when its settings can be read and it takes commands, 0\n"
    "when not); blocks are separated by an empty line. With --unit, only that unit. No unit\n"
    "attached is no error: nothing (or []) is printed. A unit that is attached but cannot be\n"
    "opened (busy with another program, or not to be opened by this user) is not listed; a line\n"
    "on standard error names it and why.\n"
    "\n"
    "Options:\n"
    "  --json               One JSON array of objects with the keys serial, manufacturer,\n"
    "                       product, firmware (strings) and usable (true or false).\n"
    "\n"
    "Exit status: 0 listed; 1 the output could not be written; 2 the simulation could not be\n"
    "started; 3 --unit names no attached unit, or one that cannot be opened; 64 usage.\n",
    runList,
    true,
};

}  // namespace tamrik::ctl

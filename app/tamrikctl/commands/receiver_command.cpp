// tamrikctl receiver: the receiver's decoded NAV messages as JSON lines.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <limits>

#include "app/tamrikctl/bridge_arguments.h"
#include "app/tamrikctl/bridge_command.h"
#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/ctl_context.h"
#include "numbers/number_format.h"
#include "text/json_writer.h"
#include "text/key_value_lines.h"
#include "core/receiver_stream.h"

namespace tamrik::ctl {

namespace {

using namespace std::chrono_literals;


text::JsonObject message(std::string_view name, const std::string& serial, std::uint32_t iTow) {
  text::JsonObject o;
  o.text("message", name).text("serial", serial).integer("i_tow_ms", iTow);
  return o;
}

template <typename Integer>
std::string optionalScaled(const std::optional<Integer>& value, int decimals) {
  return value ? numbers::scaledDecimal(*value, decimals) : "null";
}

// The date and time fields NAV-PVT and NAV-TIMEUTC share, under the same keys.
template <typename Message>
text::JsonObject& dateAndTime(text::JsonObject& o, const Message& m) {
  return o.integer("year", m.year)
      .integer("month", m.month)
      .integer("day", m.day)
      .integer("hour", m.hour)
      .integer("minute", m.minute)
      .integer("second", m.second)
      .integer("nano_ns", m.nano)
      .integer("valid", m.valid);
}

std::string navPvtJson(const core::NavPvt& m, const std::string& serial) {
  auto o = message("NAV-PVT", serial, m.iTOW);
  dateAndTime(o, m)
      .boolean("time_valid", m.timeValid())
      .integer("t_acc_ns", m.tAcc)
      .integer("fix_type", m.fixType)
      .boolean("fix_ok", (m.flags & 0x01) != 0)
      .integer("num_sv", m.numSV)
      .raw("lat", numbers::scaledDecimal(m.lat, 7))
      .raw("lon", numbers::scaledDecimal(m.lon, 7))
      .raw("height_m", numbers::scaledDecimal(m.height, 3))
      .raw("h_msl_m", optionalScaled(m.hMSL, 3))
      .raw("h_acc_m", optionalScaled(m.hAcc, 3))
      .raw("v_acc_m", optionalScaled(m.vAcc, 3));
  return o.str();
}

std::string navSvInfoJson(const core::NavSvInfo& m, const std::string& serial) {
  std::vector<std::string> channels;
  for (int i = 0; i < m.channels(); ++i) {
    const core::SvChannel c = m.channel(i);
    channels.push_back(text::JsonObject()
                           .integer("channel", c.chn)
                           .integer("svid", c.svid)
                           .integer("flags", c.flags)
                           .boolean("used", c.used())
                           .integer("cno", c.cno)
                           .integer("elevation", c.elev)
                           .integer("azimuth", c.azim)
                           .integer("quality", c.quality)
                           .raw("pr_res_m", numbers::scaledDecimal(c.prRes, 2))
                           .str());
  }
  return message("NAV-SVINFO", serial, m.iTOW()).raw("channels", text::jsonArray(channels)).str();
}

std::string navClockJson(const core::NavClock& m, const std::string& serial) {
  return message("NAV-CLOCK", serial, m.iTOW)
      .integer("clk_b_ns", m.clkB)
      .integer("clk_d_ns_per_s", m.clkD)
      .integer("t_acc_ns", m.tAcc)
      .integer("f_acc_ps_per_s", m.fAcc)
      .str();
}

std::string navTimeUtcJson(const core::NavTimeUtc& m, const std::string& serial) {
  auto o = message("NAV-TIMEUTC", serial, m.iTOW);
  return dateAndTime(o, m)
      .boolean("utc_valid", m.utcValid())
      .integer("t_acc_ns", m.tAcc)
      .str();
}

// Writes each decoded NAV message as one JSON line, flushed, until `count` were written or the
// output fails.
class LineSink final : public core::ReceiverSink {
 public:
  LineSink(std::ostream& out, std::string serial, std::uint64_t count)
      : out_(out), serial_(std::move(serial)), count_(count) {}

  void onNavPvt(const core::NavPvt& m) override { write(navPvtJson(m, serial_)); }
  void onNavSvInfo(const core::NavSvInfo& m) override { write(navSvInfoJson(m, serial_)); }
  void onNavClock(const core::NavClock& m) override { write(navClockJson(m, serial_)); }
  void onNavTimeUtc(const core::NavTimeUtc& m) override { write(navTimeUtcJson(m, serial_)); }
  bool keepReading() override { return !done(); }

  bool done() const { return failed_ || written_ >= count_; }
  bool failed() const { return failed_; }

 private:
  void write(const std::string& line) {
    if (done()) return;
    out_ << line << '\n';
    out_.flush();
    if (!out_) {
      failed_ = true;
      return;
    }
    ++written_;
  }

  std::ostream& out_;
  std::string serial_;
  std::uint64_t count_;
  std::uint64_t written_ = 0;
  bool failed_ = false;
};

int runReceiver(CommandContext& ctx, std::span<const std::string_view> args) {
  // --pty / --fifo / --chrony: the receiver's raw bytes for gpsd and its time for chrony instead
  // of decoded messages.
  if (asksForBridge(args)) return receiverCommand(ctx.global, ctx.host, args, ctx.out, ctx.err);
  const CommandArguments a = parseCommandArguments(args, {{"--count", true}, {"--duration", true}});
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, a.error);
  if (!a.operands.empty()) return ctx.fail(kExitUsage, "takes no arguments, got '" + std::string(a.operands[0]) + "'");
  std::uint64_t count = std::numeric_limits<std::uint64_t>::max();
  if (const auto text = a.value("--count")) {
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), n);
    if (text->empty() || ec != std::errc() || end != text->data() + text->size() || n == 0) {
      return ctx.fail(kExitBadArgument, "--count must be a whole number of messages from 1 on, not '" +
                                            text::lineValue(*text) + "'");
    }
    count = n;
  }
  const base::Result<std::optional<double>> durationGiven = durationOption(a);
  if (!durationGiven) return ctx.fail(durationGiven.failure());
  const std::optional<double> duration = *durationGiven;

  UnitAccess access(ctx);
  if (const int status = access.start(); status != kExitOk) return status;
  if (const int status = access.open(UnitAccess::Purpose::Read); status != kExitOk) return status;
  if (const int status = access.requireUsable(); status != kExitOk) return status;
  core::Unit& unit = access.unit();
  // The messages the window switches on; a receiver keeps no configuration over a power cycle.
  unit.setNavMessageRates();

  LineSink sink(ctx.out, access.serial(), count);
  core::ReceiverStream stream(sink);
  sim::SimClock& clock = access.clock();
  const auto start = clock.now();
  const auto deadline =
      duration ? start + std::chrono::duration_cast<sim::SteadyTime::duration>(std::chrono::duration<double>(*duration))
               : sim::SteadyTime::max();
  while (!sink.done()) {
    const auto now = clock.now();
    if (now >= deadline) break;
    const auto slice = duration ? std::min<std::chrono::milliseconds>(
                                      std::chrono::ceil<std::chrono::milliseconds>(deadline - now), kReadSlice)
                                : std::chrono::milliseconds(kReadSlice);
    if (unit.readReceiver(stream, slice) == core::ReadOutcome::Lost) {
      return ctx.fail(kExitUnitFailed, access.unitName() + " went away while its receiver was read");
    }
    // A replayed capture has an end, after which nothing would ever come.
    if (!duration && !sink.done() && access.replayEnded()) {
      ctx.err << "tamrikctl receiver: the capture of --replay ended\n";
      break;
    }
  }
  if (sink.failed()) return ctx.fail(kExitFailure, "cannot write to standard output");
  return kExitOk;
}

}  // namespace

const CommandSpec kReceiverCommand{
    "receiver",
    "receiver [--count N] [--duration SECONDS]",
    "  receiver [--count N] [--duration SECONDS]\n"
    "                       Print the receiver's NAV-PVT, NAV-SVINFO, NAV-CLOCK and NAV-TIMEUTC\n"
    "                       messages as JSON lines, until N messages or SECONDS have passed.\n"
    TAMRIK_BRIDGE_SUMMARY,
    "Switch the receiver's messages on as the window does and print each NAV-PVT, NAV-SVINFO,\n"
    "NAV-CLOCK and NAV-TIMEUTC message it sends as one JSON object on a line of its own,\n"
    "written out at once. Every object has message (its name), serial (the unit's) and\n"
    "i_tow_ms, then the message's fields:\n"
    "  NAV-PVT      year, month, day, hour, minute, second, nano_ns, valid, time_valid, t_acc_ns,\n"
    "               fix_type, fix_ok, num_sv, lat, lon (degrees), height_m, h_msl_m, h_acc_m,\n"
    "               v_acc_m (the last three null when the receiver does not send them)\n"
    "  NAV-SVINFO   channels: channel, svid, flags, used, cno, elevation, azimuth, quality,\n"
    "               pr_res_m\n"
    "  NAV-CLOCK    clk_b_ns, clk_d_ns_per_s, t_acc_ns, f_acc_ps_per_s\n"
    "  NAV-TIMEUTC  year, month, day, hour, minute, second, nano_ns, valid, utc_valid, t_acc_ns\n"
    "Without --count and --duration it runs until it is stopped or the unit goes away; on a\n"
    "replayed capture (--replay) without --duration it ends, saying so, when the capture has\n"
    "been played to its end.\n"
    "\n"
    "Options:\n"
    "  --count N            Stop after N messages.\n"
    "  --duration SECONDS   Stop after SECONDS.\n"
    TAMRIK_BRIDGE_OPTIONS
    "\n"
    "Exit status: 0 done (the bridge: stopped by a signal); 1 the output could not be written,\n"
    "or the bridge's pseudo-terminal, pipe, socket for chrony, TCP port or NTP shared memory\n"
    "could not be made or failed; 2 a bad --count or --duration, a PATH or SOCKET that cannot\n"
    "be used or that another bridge serves, an ADDR:PORT that is malformed or taken, an NTP\n"
    "unit out of range or not this user's, --receiver-polls without --tcp, or the simulation\n"
    "could not be started; 3 no unit, none with the serial of --unit, or several and no\n"
    "--unit for the bridge; 4 the unit cannot be read or went away; 64 usage.\n",
    runReceiver,
    true,
};

}  // namespace tamrik::ctl

// tamrikctl record: the receiver's raw bytes into a file.
#include <algorithm>
#include <chrono>
#include <utility>

#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/ctl_context.h"
#include "app/tamrikctl/stop_signals.h"
#include "core/message_keeper.h"
#include "core/receiver_stream.h"
#include "core/recording.h"

namespace tamrik::ctl {

namespace {

using namespace std::chrono_literals;


// Every receiver byte of every report into the recording, until a write fails.
class RecordingSink final : public core::ReceiverSink {
 public:
  explicit RecordingSink(core::Recording& recording) : recording_(recording) {}
  void onReceiverBytes(std::span<const std::uint8_t> bytes) override {
    if (!bytes.empty()) heard_ = true;
    recording_.write(bytes);
  }
  bool keepReading() override { return !recording_.failed(); }
  // Whether bytes came since the last call.
  bool heard() { return std::exchange(heard_, false); }

 private:
  core::Recording& recording_;
  bool heard_ = false;
};

int runRecord(CommandContext& ctx, std::span<const std::string_view> args) {
  const CommandArguments a = parseCommandArguments(args, {{"--duration", true}, {"--force", false}});
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, a.error);
  if (a.operands.size() != 1) {
    return ctx.fail(kExitUsage, a.operands.empty() ? "needs the FILE to record into"
                                                    : "takes one FILE, got also '" + std::string(a.operands[1]) + "'");
  }
  const base::Result<std::optional<double>> durationGiven = durationOption(a);
  if (!durationGiven) return ctx.fail(durationGiven.failure());
  const std::optional<double> duration = *durationGiven;

  UnitAccess access(ctx);
  if (const int status = access.start(); status != kExitOk) return status;
  if (const int status = access.open(UnitAccess::Purpose::Read); status != kExitOk) return status;
  if (const int status = access.requireUsable(); status != kExitOk) return status;

  // The file only once a unit is there to fill it.
  // FILE is the command's output: a file that cannot be made, whatever the reason, is status 1.
  const auto made = core::Recording::open(std::string(a.operands[0]), a.has("--force"));
  if (!made) return ctx.fail(kExitFailure, made.failure().reason);
  const std::unique_ptr<core::Recording>& recording = *made;

  core::Unit& unit = access.unit();
  unit.setNavMessageRates();
  RecordingSink sink(*recording);
  core::ReceiverStream stream(sink);
  sim::SimClock& clock = access.clock();
  const StopSignals stop;
  const auto start = clock.now();
  core::MessageKeeper<sim::SteadyTime> keeper([&unit] { return unit.setNavMessageRates(); });
  keeper.switchedOn(start);
  const auto deadline =
      duration ? start + std::chrono::duration_cast<sim::SteadyTime::duration>(std::chrono::duration<double>(*duration))
               : sim::SteadyTime::max();
  int status = kExitOk;
  std::string why;
  while (!stop.requested() && !recording->failed()) {
    const auto now = clock.now();
    if (now >= deadline) break;
    const auto slice = std::min<std::chrono::milliseconds>(
        std::chrono::ceil<std::chrono::milliseconds>(deadline - now), kReadSlice);
    if (unit.readReceiver(stream, slice) == core::ReadOutcome::Lost) {
      status = kExitUnitFailed;
      why = access.unitName() + " went away while its receiver was recorded";
      break;
    }
    // A replayed capture has an end, after which nothing would ever come.
    if (!duration && access.replayEnded()) {
      ctx.err << "tamrikctl record: the capture of --replay ended\n";
      break;
    }
    keeper.afterRead(sink.heard(), clock.now());
  }
  // Closed whole whatever ended the recording; a write that failed tells first.
  if (!recording->close()) return ctx.fail(kExitFailure, recording->error());
  if (status != kExitOk) return ctx.fail(status, why);
  return kExitOk;
}

}  // namespace

const CommandSpec kRecordCommand{
    "record",
    "record FILE [--duration SECONDS] [--force]",
    "  record FILE [--duration SECONDS] [--force]\n"
    "                       Write the receiver's raw bytes into FILE, for --replay and UBX tools.\n",
    "Switch the receiver's messages on as the window does and write every byte the receiver\n"
    "sends, as the unit delivers it, into FILE: a raw UBX stream that --replay, gpsd and other\n"
    "UBX tools read. What was received is handed to the system after every read, at least\n"
    "once a second. A receiver that falls quiet for 5 s (another program switched its messages\n"
    "off) has them switched on again. SIGINT or SIGTERM ends the recording with the file closed\n"
    "whole; without --duration it runs until then or until the unit goes away, or on a replayed\n"
    "capture (--replay) until the capture has been played to its end. A pipe (FIFO) as FILE is\n"
    "refused, --force or not: its reader could hold the recording past any duration.\n"
    "\n"
    "Options:\n"
    "  --duration SECONDS   Stop after SECONDS.\n"
    "  --force              Replace FILE when it exists; without it an existing FILE is kept\n"
    "                       and nothing is recorded.\n"
    "\n"
    "Exit status: 0 done; 1 FILE exists (without --force), cannot be created or written (a full\n"
    "disk); 2 a bad --duration, or the simulation could not be started; 3 no unit, or none with\n"
    "the serial of --unit; 4 the unit cannot be read or went away (what came before is kept in\n"
    "FILE); 64 usage.\n",
    runRecord,
    true,
};

}  // namespace tamrik::ctl

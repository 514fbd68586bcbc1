// tamrik-config.exe: the program's entry on Windows. Builds the platform services (real units over
// hidapi's Windows backend, plus simulated ones on request), the main window and its Win32
// rendering, then runs the event loop. The command line is the same as on Linux; a snapshot is
// written when the window closes, as Windows has no SIGUSR1.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/about/version_text.h"
#include "app/command_line.h"
#include "app/frm_main.h"
#include "app/snapshot_file.h"
#include "core/recording.h"
#include "gps/satellites_view.h"
#include "platform/host_kernel.h"
#include "platform/routing_device_backend.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"
#include "platform/sim/simulated_system_clock.h"
#include "platform/windows/host_clock.h"
#include "platform/win32/win32_dpi.h"
#include "platform/win32/win32_drawing_window.h"
#include "platform/windows/windows_text.h"
#include "platform/win32/win32_toolkit.h"
#include "platform/win32/win32_window.h"
#include "platform/windows/windows_hid_backend.h"
#include "platform/windows/windows_locale.h"
#include "platform/windows/windows_shell.h"
#include "platform/windows/windows_sleep.h"
#include "platform/windows/windows_system_clock.h"

namespace {

namespace win = tamrik::platform::windows;
namespace win32 = tamrik::platform::win32;

bool usable(DWORD which) {
  HANDLE h = GetStdHandle(which);
  return h && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

// A program without a console window writes --help, --version and command-line errors where its
// output is redirected, or else into the console of the command prompt that started it.
void attachOutput() {
  if (usable(STD_OUTPUT_HANDLE) && usable(STD_ERROR_HANDLE)) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (!usable(STD_OUTPUT_HANDLE) || !std::freopen("CONOUT$", "w", stdout)) return;
  if (!usable(STD_ERROR_HANDLE)) std::freopen("CONOUT$", "w", stderr);
  std::cout << "\n";  // the prompt has already been printed: start on a line of our own
}

// The timers of the program itself (not of the window): --quit-after and the end of a replay.
HWND quitWindow = nullptr;
std::function<void()> replayCheck;

void CALLBACK onQuitTimer(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (quitWindow) SendMessageW(quitWindow, WM_CLOSE, 0, 0);
}

void CALLBACK onReplayTimer(HWND, UINT, UINT_PTR, DWORD) {
  if (replayCheck) replayCheck();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(win::utf8FromWide(argv[i]));
  const auto parsed = tamrik::parseCommandLine(arguments);
  if (!parsed.error.empty()) {
    attachOutput();
    std::cerr << "tamrik-config: " << parsed.error << "\n\n" << tamrik::usageText() << std::flush;
    return 2;
  }
  const tamrik::ProgramOptions& options = parsed.options;
  if (options.help) {
    attachOutput();
    std::cout << tamrik::usageText() << std::flush;
    return 0;
  }
  if (options.version) {
    attachOutput();
    std::cout << tamrik::about::versionText("tamrik-config") << std::flush;
    return 0;
  }

  // The recording's file before anything else: one that cannot be made changes nothing.
  std::unique_ptr<tamrik::core::Recording> recording;
  if (!options.recordPath.empty()) {
    auto made = tamrik::core::Recording::open(options.recordPath, options.force);
    if (!made) {
      attachOutput();
      std::cerr << "tamrik-config: " << made.failure().reason << "\n" << std::flush;
      return 1;
    }
    recording = std::move(*made);
  }

  win32::becomeDpiAware();

  win::WindowsHidBackend realUnits;
  tamrik::sim::RealClock simulationClock;
  auto built = tamrik::sim::UnitBackends::build(&realUnits, options.simulation, simulationClock, [](const std::string& problem) {
    attachOutput();  // written while the window runs: the console may not be attached yet
    std::cerr << "tamrik-config: --sim-state: " << problem << "\n" << std::flush;
  });
  if (!built) {
    if (recording) recording->discard();
    attachOutput();
    std::cerr << "tamrik-config: " << built.failure().reason << "\n" << std::flush;
    return 2;
  }
  tamrik::sim::UnitBackends& units = **built;
  const bool simulated = options.simulation.enabled;
  tamrik::sim::SimulatedUnits* simulatedUnits = units.simulated();
  tamrik::platform::DeviceBackend& devices = units.devices();

  // With simulated units the receivers carry other days' times: clock settings are only recorded.
  win::WindowsSystemClock hostClock(win::hostClockSteps());
  tamrik::sim::SimulatedSystemClock simulatedClock;
  tamrik::platform::SystemClock& clock = simulated ? static_cast<tamrik::platform::SystemClock&>(simulatedClock)
                                                   : static_cast<tamrik::platform::SystemClock&>(hostClock);
  // The unit's 2 and 5 ms command gaps need pauses finer than Windows' 15.6 ms timer tick.
  tamrik::platform::HostKernel kernel(devices, clock, win::windowsSleeper());
  win::WindowsShell shell;
  win32::Win32Toolkit toolkit;
  tamrik::platform::Platform platform{devices, devices, kernel, shell, toolkit};

  tamrik::FrmMain frm(platform, win::userNumberFormat());
  win32::Win32Window window(frm.model(), frm);
  toolkit.setOwner(window.hwnd());
  window.setClosedHandler([] { PostQuitMessage(0); });
  tamrik::gps::GpsMonitor& gps = frm.gpsMonitor();
  if (recording) gps.startRecording(std::move(recording));

  // The Satellites window, made at its first opening; it goes with the main window.
  std::unique_ptr<win32::Win32DrawingWindow> satellites;
  frm.setSatellitesOpener([&] {
    if (!satellites) {
      satellites = std::make_unique<win32::Win32DrawingWindow>(
          tamrik::gps::kSatellitesCaption, tamrik::gps::kSatellitesWidth, tamrik::gps::kSatellitesHeight,
          [&gps](int width, int height, double scale) {
            return tamrik::gps::drawSatellites(gps.Sky(), gps.utcClock().now(), width, height, scale);
          });
    }
    satellites->present();
  });
  gps.setSkyObserver([&] {
    if (satellites && satellites->visible()) satellites->refresh();
  });

  quitWindow = window.hwnd();
  if (options.quitAfterMs) SetTimer(nullptr, 0, static_cast<UINT>(std::max(*options.quitAfterMs, 1)), onQuitTimer);
  if (simulatedUnits && options.simulation.quitAtReplayEnd) {
    // The poller decodes what it reads in the same tick, so once every report of the capture was
    // read and that tick has returned, everything in it has been shown. The check acts only from
    // the top-level event loop with none of the window's handlers running.
    replayCheck = [&] {
      if (toolkit.nesting() != 0 || !frm.idle() || window.closed()) return;
      if (simulatedUnits->replayFinished()) SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
    };
    SetTimer(nullptr, 0, 100, onReplayTimer);
  }

  frm.Load();
  if (options.satellites) frm.doubleClick("PicSat");
  int status = toolkit.run();
  replayCheck = nullptr;
  satellites.reset();
  tamrik::ui::SnapshotExtras extras;
  if (simulated) extras.emplace_back("recorded_clock", tamrik::recordedClockJson(simulatedClock.requests));
  tamrik::addSkyExtras(extras, frm.gpsMonitor().Sky(), frm.gpsMonitor().utcClock().now());
  if (!options.snapshotPath.empty() && !tamrik::writeSnapshotFile(frm.model(), options.snapshotPath, extras)) {
    attachOutput();
    std::cerr << "tamrik-config: cannot write " << options.snapshotPath << "\n" << std::flush;
  }
  // The recording is closed whole; a write that failed makes the run a failure.
  if (!gps.stopRecording()) {
    attachOutput();
    std::cerr << "tamrik-config: " << gps.recordingError() << "\n" << std::flush;
    if (status == 0) status = 1;
  }
  return status;
}

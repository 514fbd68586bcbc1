// tamrik-config: the program's entry. Builds the platform services (real units over hidapi, plus
// simulated ones on request), the main window and its Qt rendering, then runs the event loop.
#include <QApplication>
#include <QLocale>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <unistd.h>

#include "app/about/version_text.h"
#include "app/command_line.h"
#include "app/frm_main.h"
#include "app/snapshot_file.h"
#include "core/recording.h"
#include "platform/host_kernel.h"
#include "platform/linux/hidapi_backend.h"
#include "platform/linux/host_clock.h"
#include "platform/linux/linux_system_clock.h"
#include "platform/linux/xdg_shell.h"
#include "gps/satellites_view.h"
#include "platform/qt/qt_drawing_window.h"
#include "platform/qt/qt_toolkit.h"
#include "platform/routing_device_backend.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"
#include "platform/sim/simulated_system_clock.h"

namespace {

int signalPipe[2] = {-1, -1};
constexpr char kSnapshotByte = 1;
constexpr char kCloseByte = 2;

// A signal only writes a byte into a pipe; the event loop picks it up: SIGUSR1 writes the
// snapshot, SIGINT and SIGTERM close the window as its close box does, so that the recording
// is closed whole and the snapshot of the end is written.
void onSignal(int signal) {
  const char byte = signal == SIGUSR1 ? kSnapshotByte : kCloseByte;
  [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
}

tamrik::ui::NumberFormat userNumberFormat() {
  const QLocale locale = QLocale::system();
  return {locale.decimalPoint().toStdString(), locale.groupSeparator().toStdString()};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  const auto parsed = tamrik::parseCommandLine(arguments);
  if (!parsed.error.empty()) {
    std::cerr << "tamrik-config: " << parsed.error << "\n\n" << tamrik::usageText();
    return 2;
  }
  const tamrik::ProgramOptions& options = parsed.options;
  if (options.help) {
    std::cout << tamrik::usageText();
    return 0;
  }
  if (options.version) {
    std::cout << tamrik::about::versionText("tamrik-config");
    return 0;
  }

  // The recording's file before anything else: one that cannot be made changes nothing.
  std::unique_ptr<tamrik::core::Recording> recording;
  if (!options.recordPath.empty()) {
    auto made = tamrik::core::Recording::open(options.recordPath, options.force);
    if (!made) {
      std::cerr << "tamrik-config: " << made.failure().reason << "\n";
      return 1;
    }
    recording = std::move(*made);
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName("tamrik-config");
  // Qt takes the user's locale for the C library too; our number texts are built with the user's
  // separators explicitly, so keep the C library's numeric conversions in the C locale.
  std::setlocale(LC_NUMERIC, "C");

  tamrik::platform::HidapiBackend realUnits;
  tamrik::sim::RealClock simulationClock;
  auto built = tamrik::sim::UnitBackends::build(&realUnits, options.simulation, simulationClock, [](const std::string& problem) {
    std::cerr << "tamrik-config: --sim-state: " << problem << "\n";
  });
  if (!built) {
    if (recording) recording->discard();
    std::cerr << "tamrik-config: " << built.failure().reason << "\n";
    return 2;
  }
  tamrik::sim::UnitBackends& units = **built;
  const bool simulated = options.simulation.enabled;
  tamrik::sim::SimulatedUnits* simulatedUnits = units.simulated();
  tamrik::platform::DeviceBackend& devices = units.devices();

  // With simulated units the receivers carry other days' times: clock settings are only recorded.
  tamrik::platform::LinuxSystemClock hostClock(tamrik::platform::hostClockSteps());
  tamrik::sim::SimulatedSystemClock simulatedClock;
  tamrik::platform::SystemClock& clock = simulated ? static_cast<tamrik::platform::SystemClock&>(simulatedClock)
                                                   : static_cast<tamrik::platform::SystemClock&>(hostClock);
  tamrik::platform::HostKernel kernel(devices, clock);
  tamrik::platform::XdgShell shell;
  tamrik::platform::qt::QtToolkit toolkit;
  tamrik::platform::Platform platform{devices, devices, kernel, shell, toolkit};

  tamrik::FrmMain frm(platform, userNumberFormat());
  tamrik::platform::qt::QtWindow window(frm.model(), frm);
  toolkit.setParentWindow(&window);
  if (recording) frm.gpsMonitor().startRecording(std::move(recording));

  // The Satellites window, made at its first opening; it closes with the main window.
  std::unique_ptr<tamrik::platform::qt::QtDrawingWindow> satellites;
  tamrik::gps::GpsMonitor& gps = frm.gpsMonitor();
  frm.setSatellitesOpener([&] {
    if (!satellites) {
      satellites = std::make_unique<tamrik::platform::qt::QtDrawingWindow>(
          tamrik::gps::kSatellitesCaption, tamrik::gps::kSatellitesWidth, tamrik::gps::kSatellitesHeight,
          [&gps](int width, int height, double scale) {
            return tamrik::gps::drawSatellites(gps.Sky(), gps.utcClock().now(), width, height, scale);
          });
      satellites->setAttribute(Qt::WA_QuitOnClose, false);
    }
    satellites->present();
  });
  gps.setSkyObserver([&] {
    if (satellites && satellites->isVisible()) satellites->refresh();
  });

  auto writeSnapshot = [&] {
    tamrik::ui::SnapshotExtras extras;
    if (simulated) extras.emplace_back("recorded_clock", tamrik::recordedClockJson(simulatedClock.requests));
    tamrik::addSkyExtras(extras, frm.gpsMonitor().Sky(), frm.gpsMonitor().utcClock().now());
    if (!options.snapshotPath.empty() && !tamrik::writeSnapshotFile(frm.model(), options.snapshotPath, extras)) {
      std::cerr << "tamrik-config: cannot write " << options.snapshotPath << "\n";
    }
  };
  std::unique_ptr<QSocketNotifier> signalNotifier;
  if (::pipe(signalPipe) == 0) {
    signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&] {
      char buffer[16];
      const auto n = ::read(signalPipe[0], buffer, sizeof buffer);
      bool snapshot = false, close = false;
      for (ssize_t i = 0; i < n; ++i) (buffer[i] == kSnapshotByte ? snapshot : close) = true;
      if (snapshot) writeSnapshot();
      // From the top-level event loop, as the close box's click would come.
      if (close) QTimer::singleShot(0, &window, [&window] { window.close(); });
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (!options.snapshotPath.empty()) sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
  }
  if (options.quitAfterMs) QTimer::singleShot(*options.quitAfterMs, &window, [&window] { window.close(); });
  QTimer replayWatch;
  if (simulatedUnits && options.simulation.quitAtReplayEnd) {
    // The poller decodes what it reads in the same tick, so once every report of the capture was
    // read and that tick has returned, everything in it has been shown. The watch may also fire in
    // an event round inside a tick (the NAV-SVINFO drawing) or inside another handler: it acts only
    // from the top-level event loop with none of the window's handlers running.
    QObject::connect(&replayWatch, &QTimer::timeout, [&] {
      if (QThread::currentThread()->loopLevel() != 1 || !frm.idle()) return;
      if (simulatedUnits->replayFinished()) {
        replayWatch.stop();
        window.close();
      }
    });
    replayWatch.start(100);
  }

  frm.Load();
  if (options.satellites) frm.doubleClick("PicSat");
  int status = QApplication::exec();
  if (satellites) satellites->close();
  writeSnapshot();
  // The recording is closed whole; a write that failed makes the run a failure.
  if (!gps.stopRecording()) {
    std::cerr << "tamrik-config: " << gps.recordingError() << "\n";
    if (status == 0) status = 1;
  }
  return status;
}

#include "app/instrument.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <csignal>
#include <cstdlib>
#include <optional>

#include "app/app_delegate.h"
#include "app/crash_prompt.h"
#include "app/pad_panel.h"
#include "app/platform_start.h"
#include "app/qt_services.h"
#include "app/single_instance.h"
#include "audio/jack_backend.h"
#include "audio/libjack_server.h"
#include "audio/output_switch.h"
#include "audio/portaudio_backend.h"
#include "audio/sample_bank.h"
#include "diagnostics/fatal_signals.h"
#include "diagnostics/report.h"

namespace quimbel {

namespace {

int signalPipe[2] = {-1, -1};

void onQuitSignal(int) {
  const char byte = 1;
  // Only a write, which is safe in a signal handler; the event loop does the rest.
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM (a logout, `kill`), SIGINT (Ctrl+C in a terminal) and SIGHUP
// (the terminal that started it closing) end the program the way the Quit
// item does, so none of them leaves a run marker that the next start would
// take for a crash.
void routeQuitSignals(QObject* owner, std::function<void()> quit) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
  QObject::connect(notifier, &QSocketNotifier::activated, owner, [quit = std::move(quit)] {
    char byte = 0;
    [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
    quit();
  });
  struct sigaction action = {};
  action.sa_handler = onQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

// Wayland lets no window place itself, so the panel could not open under the
// tray icon; X11 through XWayland can where the compositor honours X11
// positions (sway centres such windows all the same), and is preferred where
// it exists. Debian's binding for the layer-shell protocol, which would let
// the panel place itself on wlroots compositors, is for Qt 5 only.
const char* choosePlatform() {
  const char* session = std::getenv("XDG_SESSION_TYPE");
  const bool wayland = (session && std::string_view(session) == "wayland") ||
                       std::getenv("WAYLAND_DISPLAY") != nullptr;
  if (std::getenv("QT_QPA_PLATFORM")) return "as asked by QT_QPA_PLATFORM";
  if (!wayland) return "X11";
  if (std::getenv("DISPLAY")) {
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    return "X11 through XWayland";
  }
  // The panel says once, when it first opens, that the compositor places it.
  return "Wayland";
}

// The desktop's reduce-motion setting: GNOME's animations switch where it can
// be read, else QUIMBEL_REDUCE_MOTION=1.
bool reduceMotionSetting() {
  const char* forced = std::getenv("QUIMBEL_REDUCE_MOTION");
  if (forced && std::string_view(forced) == "1") return true;
  if (QStandardPaths::findExecutable(QStringLiteral("gsettings")).isEmpty()) return false;
  QProcess gsettings;
  gsettings.start(QStringLiteral("gsettings"),
                  {QStringLiteral("get"), QStringLiteral("org.gnome.desktop.interface"),
                   QStringLiteral("enable-animations")});
  if (!gsettings.waitForFinished(300) || gsettings.exitCode() != 0) return false;
  return gsettings.readAllStandardOutput().trimmed() == "false";
}

QString autostartFile() {
  QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  if (config.isEmpty()) return {};
  return config + QStringLiteral("/autostart/app.quimbel.Quimbel.desktop");
}

}  // namespace

int runInstrument(int argc, char** argv) {
  // First of all, so that a crash anywhere in the launch is on record.
  installFatalSignalHandlers();
  const char* platform = choosePlatform();
  silenceAlsaErrors();
  // Without a display or a platform plugin, one line and status 1.
  auto platformGuard = std::make_optional<PlatformStartGuard>();
  QApplication app(argc, argv);
  platformGuard.reset();
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName(QStringLiteral("Quimbel"));
  QApplication::setOrganizationName(QStringLiteral("Quimbel"));
  QApplication::setDesktopFileName(QStringLiteral("app.quimbel.Quimbel"));

  SingleInstance instance;
  if (instance.handOver()) {
    diagnostics::consoleLine("already running: its panel is shown");
    return 0;
  }

  // The sound goes where the user chose: the system's outputs or JACK. The
  // piano and the system's devices are prepared in the background at once,
  // so that the first chord does not wait for them. PortAudio is left alone
  // while JACK is chosen: with a JACK server running it joins the server's
  // graph with a client of its own, which every period then waits for.
  // (PortAudio goes last: libjack wants the program's own client closed
  // before PortAudio closes its one.)
  PortAudioBackend system;
  LibJackServer jackServer;
  JackBackend jack(jackServer);
  OutputSwitch backend(jack, system);
  backend.load(QtSettingsStore());
  if (backend.choice().chosenRoute() != OutputChoice::Route::jack) system.initialiseInBackground();
  preloadSampleLibrary();

  SteadyClock clock;
  QtMainThread mainThread;
  const bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
  auto delegate = std::make_unique<AppDelegate>(
      PadModel::Services{clock, mainThread, backend, installPianoSamples,
                         std::make_unique<QtSettingsStore>(), nullptr, /*startMidi=*/true,
                         reduceMotionSetting()},
      AppDelegate::Desktop{trayAvailable, autostartFile(), QApplication::applicationFilePath(),
                           &backend, [] { return QSystemTrayIcon::isSystemTrayAvailable(); }});
  diagnostics::logLine(std::string("[quimbel] display: ") + platform + ", " +
                       QApplication::platformName().toStdString() +
                       (trayAvailable ? ", in the system tray" : ", no system tray"));

  // exit() rather than quit(): quit() first asks every window to close, and
  // the tray panel refuses to close (it only hides).
  QObject::connect(
      delegate.get(), &AppDelegate::quitRequested, &app, [] { QApplication::exit(0); },
      Qt::QueuedConnection);
  QObject::connect(&instance, &SingleInstance::showRequested, delegate.get(),
                   [&delegate] { delegate->showPanel(); });
  routeQuitSignals(&app, [] { QApplication::exit(0); });

  delegate->setup();
  if (delegate->tray()) delegate->tray()->show();

  std::unique_ptr<CrashReporting> crashReporting = startCrashReporting(
      mainThread,
      [&delegate]() -> const PadModel* { return delegate ? &delegate->model() : nullptr; },
      delegate->panel());
  if (crashReporting) {
    // Hidden and silent, the program wakes nobody: the hang watchdog rests.
    CrashReporter* reporter = &crashReporting->reporter();
    reporter->watchHangs(delegate->inUse());
    QObject::connect(delegate.get(), &AppDelegate::inUseChanged, &app,
                     [reporter](bool inUse) { reporter->watchHangs(inUse); });
  }

  const int status = app.exec();
  // Straight after the event loop, so that a slow teardown is no hang: logs
  // the last line and removes this run's marker.
  if (crashReporting) {
    crashReporting->quit();
  } else {
    diagnostics::logLine("[quimbel] quit");
  }
  // The model stops and frees the engine; it goes before the device layer.
  delegate.reset();
  return status;
}

}  // namespace quimbel

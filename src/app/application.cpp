// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/application.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <system_error>

#include "app/feature_installs.h"
#include "app/launcher_dialog.h"
#include "link/ftdi_device.h"
#include "shell/application_icon.h"
#include "shell/night_mode.h"
#include "shell/settings_store.h"
#include "shell/shell.h"
#include "shell/user_dialogs.h"
#include "shell/window_place.h"

namespace ktal {

CTVX_DUVO_VerAdiApp theApp;

namespace {

enum class StartAction { kRun, kAnswered, kRefused };

struct ProgramOptions {
  bool simulate = false;
  bool night = false;
  bool noSettings = false;
};

// Reads the options. Help and version are answered here, an unknown option
// is refused with one line; either way the program then ends. Needs a
// QCoreApplication for the program's name.
StartAction ParseCommandLine(const QStringList& arguments, ProgramOptions& options) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Companion program of the Orvelia K-Tal stand-alone autoguider: logs, firmware, hot-pixel "
      "maps, the guider's screen, and switching it on or resetting it over USB.");
  const QCommandLineOption helpOption = parser.addHelpOption();
  const QCommandLineOption versionOption = parser.addVersionOption();
  const QCommandLineOption simulateOption(
      "simulate", "Talk to a built-in simulated guider instead of the USB chips.");
  parser.addOption(simulateOption);
  const QCommandLineOption nightOption(
      "night", "Start in night vision: every window in red on black (the launcher switches it).");
  parser.addOption(nightOption);
  const QCommandLineOption noSettingsOption(
      "no-settings", QString("Start with the default settings and keep none: the settings file "
                             "(%1) is neither read nor written.")
                         .arg(DefaultSettingsPath()));
  parser.addOption(noSettingsOption);
  if (!parser.parse(arguments)) {
    QString error = parser.errorText();
    if (error.endsWith('.')) error.chop(1);
    std::fprintf(stderr, "%s: %s; see '%s --help'.\n",
                 qPrintable(QCoreApplication::applicationName()), qPrintable(error),
                 qPrintable(QCoreApplication::applicationName()));
    return StartAction::kRefused;
  }
  // The parser lets anything that is not an option through.
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "%s: unexpected argument '%s'; see '%s --help'.\n",
                 qPrintable(QCoreApplication::applicationName()),
                 qPrintable(parser.positionalArguments().constFirst()),
                 qPrintable(QCoreApplication::applicationName()));
    return StartAction::kRefused;
  }
  if (parser.isSet(helpOption)) {
    std::fputs(qPrintable(parser.helpText()), stdout);
    return StartAction::kAnswered;
  }
  if (parser.isSet(versionOption)) {
    std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                qPrintable(QCoreApplication::applicationVersion()));
    return StartAction::kAnswered;
  }
  options.simulate = parser.isSet(simulateOption);
  options.night = parser.isSet(nightOption);
  options.noSettings = parser.isSet(noSettingsOption);
  return StartAction::kRun;
}

}  // namespace

int CTVX_DUVO_VerAdiApp::InitInstance(int argc, char** argv) {
  QCoreApplication::setApplicationName("ktal-companion");
  QCoreApplication::setApplicationVersion(KTAL_VERSION);
  ProgramOptions options;
  {
    // Options are read before any window system is needed, so --help
    // answers without a display.
    QCoreApplication core(argc, argv);
    switch (ParseCommandLine(QCoreApplication::arguments(), options)) {
      case StartAction::kRun:
        break;
      case StartAction::kAnswered:
        return 0;
      case StartAction::kRefused:
        return 2;
    }
  }

  QApplication application(argc, argv);
  QApplication::setWindowIcon(ApplicationIcon());
  // The one store of the program's settings, lent to every window.
  SettingsStore settings =
      options.noSettings ? SettingsStore() : SettingsStore(DefaultSettingsPath());
  // Before any window, so that the first one already shows in red: the mode
  // the program was left in, or night when asked for.
  NightMode nightMode(application);
  nightMode.SetOn(options.night || settings.values().nightMode);
  std::unique_ptr<LinkBackend> backend =
      options.simulate ? MakeSimulatedBackend() : MakeUsbBackend();
  QtUserDialogs dialogs;
  return RunProgram(*backend, dialogs, settings, features_);
}

int RunProgram(LinkBackend& backend, UserDialogs& dialogs,
               const std::vector<FeatureInstaller>& features) {
  SettingsStore defaults;
  return RunProgram(backend, dialogs, defaults, features);
}

int RunProgram(LinkBackend& backend, UserDialogs& dialogs, SettingsStore& settings,
               const std::vector<FeatureInstaller>& features) {
  std::error_code error;
  g_startupDirectory = std::filesystem::current_path(error);
  g_device.AttachDriver(&backend.driver(), &backend.clock());
  {
    CTVX_DUVO_VerAdiDlg launcher(dialogs);
    launcher.SetLinkName(QString::fromStdString(backend.name()));
    launcher.SetNightMode(ApplicationNightMode());
    launcher.SetSettingsStore(settings);
    // A switch of night vision is kept for the next start.
    if (NightMode* mode = ApplicationNightMode()) {
      QObject::connect(mode, &NightMode::Changed, &launcher,
                       [&settings](bool on) { settings.SetNightMode(on); });
    }
    for (const FeatureInstaller& install : features) install(launcher, dialogs);
    // The program ends with the launcher, whatever its result.
    ExecInKeptPlace(launcher, settings, kLauncherPlace);
  }
  // The backend goes away before g_device does.
  g_device.Close();
  g_device.AttachDriver(nullptr, nullptr);
  return 0;
}

}  // namespace ktal

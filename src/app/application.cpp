#include "app/application.h"

#include <QApplication>
#include <cstring>
#include <system_error>

#include "app/launcher_dialog.h"
#include "app/shell.h"
#include "app/user_dialogs.h"
#include "link/ftdi_device.h"

namespace ktal {

CTVX_DUVO_VerAdiApp theApp;

int CTVX_DUVO_VerAdiApp::InitInstance(int argc, char** argv) {
  bool simulate = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--simulate") == 0) simulate = true;
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName("ktal-companion");
  QApplication::setWindowIcon(ApplicationIcon());

  std::unique_ptr<LinkBackend> backend = simulate ? MakeSimulatedBackend() : MakeUsbBackend();
  QtUserDialogs dialogs;
  return RunProgram(*backend, dialogs, features_);
}

int RunProgram(LinkBackend& backend, UserDialogs& dialogs,
               const std::vector<FeatureInstaller>& features) {
  std::error_code error;
  g_startupDirectory = std::filesystem::current_path(error);
  g_device.AttachDriver(&backend.driver(), &backend.clock());
  {
    CTVX_DUVO_VerAdiDlg launcher(dialogs);
    for (const FeatureInstaller& install : features) install(launcher, dialogs);
    // The program ends with the launcher, whatever its result.
    launcher.exec();
  }
  // The backend goes away before g_device does.
  g_device.Close();
  g_device.AttachDriver(nullptr, nullptr);
  return 0;
}

}  // namespace ktal

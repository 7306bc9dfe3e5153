#include "app/application.h"
#include "camera/cam_ctrl_dlg.h"
#include "filesystem/filesystem_dlg.h"
#include "firmware/firmware_dlg.h"
#include "vui/ui_dlg.h"

int main(int argc, char** argv) {
  ktal::theApp.AddFeature(ktal::InstallFirmwareControl);
  ktal::theApp.AddFeature(ktal::InstallFileControl);
  ktal::theApp.AddFeature(ktal::InstallVirtualUi);
  ktal::theApp.AddFeature(ktal::InstallCameraControl);
  return ktal::theApp.InitInstance(argc, argv);
}

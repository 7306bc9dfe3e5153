// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/application.h"
#include "app/feature_installs.h"

int main(int argc, char** argv) {
  ktal::theApp.AddFeature(ktal::InstallFirmwareControl);
  ktal::theApp.AddFeature(ktal::InstallFileControl);
  ktal::theApp.AddFeature(ktal::InstallVirtualUi);
  ktal::theApp.AddFeature(ktal::InstallCameraControl);
  return ktal::theApp.InitInstance(argc, argv);
}

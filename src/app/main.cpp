#include "app/application.h"
#include "filesystem/filesystem_dlg.h"

int main(int argc, char** argv) {
  ktal::theApp.AddFeature(ktal::InstallFileControl);
  return ktal::theApp.InitInstance(argc, argv);
}

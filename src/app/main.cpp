#include "app/application.h"

int main(int argc, char** argv) { return ktal::theApp.InitInstance(argc, argv); }

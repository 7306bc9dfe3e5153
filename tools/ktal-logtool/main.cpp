#include "logtool.h"

int main(int argc, char** argv) { return ktal::RunLogTool(argc, argv); }

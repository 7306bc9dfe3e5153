// SPDX-License-Identifier: GPL-3.0-or-later
#include "logtool.h"

int main(int argc, char** argv) { return ktal::RunLogTool(argc, argv); }

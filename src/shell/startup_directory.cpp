// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/startup_directory.h"

namespace ktal {

std::filesystem::path g_startupDirectory;

}  // namespace ktal

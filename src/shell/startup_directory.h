// SPDX-License-Identifier: GPL-3.0-or-later
// The directory the program was started in; output folders go below it.
// Set once at start-up, read-only afterwards. A target of its own
// (ktal_startup), apart from the Qt part of the shell, so that the feature
// libraries, which have no Qt, can use it.
#pragma once

#include <filesystem>

namespace ktal {

extern std::filesystem::path g_startupDirectory;

}  // namespace ktal

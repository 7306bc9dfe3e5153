#include "shell/startup_directory.h"

namespace ktal {

std::filesystem::path g_startupDirectory;

}  // namespace ktal

// The program's icon, on the launcher and on every window it opens.
#pragma once

#include <QIcon>

namespace ktal {

// The application icon, drawn once.
QIcon ApplicationIcon();

}  // namespace ktal

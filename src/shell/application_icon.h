// SPDX-License-Identifier: GPL-3.0-or-later
// The program's icon, on the launcher and on every window it opens.
#pragma once

#include <QIcon>

namespace ktal {

// The application icon: the package's SVG picture at every size of the
// hicolor theme.
QIcon ApplicationIcon();

}  // namespace ktal

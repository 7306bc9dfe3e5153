// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/application_icon.h"

#include <QDirIterator>
#include <QImageReader>
#include <QString>

// The pictures are the package's SVG drawn at the hicolor theme's sizes when
// building (packaging/CMakeLists.txt), linked in as a resource. Linked from
// a static library, the resource is only kept, and registered, when
// something calls its initialiser by name; the call must be made outside
// any namespace.
static void RegisterIconResource() { Q_INIT_RESOURCE(ktal_companion_icons); }

namespace ktal {

QIcon ApplicationIcon() {
  RegisterIconResource();
  QIcon icon;
  QDirIterator pictures(":/ktal-companion/icons", {"*.png"}, QDir::Files);
  while (pictures.hasNext()) {
    const QString path = pictures.next();
    icon.addFile(path, QImageReader(path).size());
  }
  return icon;
}

}  // namespace ktal

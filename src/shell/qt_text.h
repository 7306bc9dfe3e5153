// SPDX-License-Identifier: GPL-3.0-or-later
// File names between the standard library and Qt. A name on disk is bytes
// in the locale's encoding, not necessarily UTF-8: QFile's decodeName and
// encodeName carry a name the locale cannot show through a dialog and back
// unchanged.
#pragma once

#include <QFile>
#include <QString>
#include <filesystem>

namespace ktal {

inline QString ToQString(const std::filesystem::path& path) {
  return QFile::decodeName(path.native().c_str());
}

inline std::filesystem::path ToPath(const QString& name) {
  return std::filesystem::path(QFile::encodeName(name).toStdString());
}

}  // namespace ktal

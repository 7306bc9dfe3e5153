// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a folder can take a run's outputs, found out before anything is
// read from the guider: a download into a folder that cannot take it would
// read every page and mark the file downloaded for nothing.
#pragma once

#include <filesystem>

namespace ktal {

enum class FolderState {
  kUsable,
  kMissing,      // nothing of that name
  kNotAFolder,   // a file, or a link to one
  kNotWritable,  // a file cannot be created in it
};

// Tries what a run does first: creating a file in the folder (a probe of
// its own, removed at once). Permissions alone do not tell: a read-only
// mount, an immutable folder or an ACL refuse what the mode bits allow.
FolderState CheckOutputFolder(const std::filesystem::path& folder);

// Where a raw file on disk is processed into under the chosen output folder
// `root`: "QD<id>.dat.content", named after the file id in the file's
// directory entry, or the file's own folder when that already is the one
// (where a download leaves the raw copy). Empty when the file's header
// cannot be read.
std::filesystem::path LocalOutputFolder(const std::filesystem::path& rawFile,
                                        const std::filesystem::path& root);

}  // namespace ktal

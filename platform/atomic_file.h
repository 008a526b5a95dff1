// Atomic replacement of a whole file: readers see the old contents or the
// new ones, never a mix, also after a crash.
#pragma once

#include <string>

namespace platform {

/// Replaces the file at `path` with `data`: writes a temporary file beside
/// it, syncs it, renames it over `path` and syncs the directory. Returns 0,
/// or the errno of the step that failed (EIO when the sync or close of the
/// temporary file failed); a failed write leaves no temporary file behind
/// and `path` as it was.
int writeFileAtomic(const std::string& path, const std::string& data);

}  // namespace platform

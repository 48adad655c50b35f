// Whole-file writes that never leave a half-written file behind.
#pragma once

#include <filesystem>
#include <string_view>

namespace gemlo::core {

// Replaces the contents of `path` with `bytes`: the bytes go to a temporary
// file in the same folder, which is flushed to disk and then renamed over
// the target. On failure the target is unchanged, the temporary file is
// removed and std::filesystem::filesystem_error is thrown. A target that is a
// symbolic link is written through (the link stays); an existing target's
// permissions are kept.
void write_file_atomically(const std::filesystem::path &path, std::string_view bytes);

}  // namespace gemlo::core

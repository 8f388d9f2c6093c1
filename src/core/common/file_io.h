#pragma once
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "core/common/result.h"

namespace gt {

// A file operation that failed: the system's code, and a detail each operation names (the path, or a line).
using FileProblem = Problem<std::errc>;

// A whole small file: its bytes and permission bits.
struct FileText {
  std::string text;
  mode_t mode = 0;
};
// Why a bounded read gave nothing; the detail is the system's message for `missing` and `failed`.
enum class ReadProblem { missing, notRegular, tooLarge, failed };

// Reads with a size bound, so a planted huge file or FIFO never stalls or swells us. Follows symbolic
// links; anything but a regular file of at most `maxBytes` is refused, unread.
Result<FileText, Problem<ReadProblem>> readFileBounded(const std::filesystem::path& path, std::size_t maxBytes);

struct ReplaceOptions {
  mode_t mode = 0600;
  // Empty: a fresh unique name beside the target. Given: it must be in the target's folder and not exist.
  std::filesystem::path tempPath;
};

// Replaces `target` with `bytes` so that a reader or a crash sees the old file or the new one, never a
// mix: a private temporary file in the same folder, written, given `mode`, fsynced, renamed over the
// target, then the folder fsynced. On failure the temporary file is gone and the problem's detail names
// the path that failed: the temporary file, the target (rename) or the folder.
Result<void, FileProblem> replaceFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                                                const ReplaceOptions& options = {});

}  // namespace gt

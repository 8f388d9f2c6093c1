#pragma once
#include <filesystem>

#include "core/common/file_io.h"

namespace gt {

// Makes `dir` a directory only the current user can enter: creates it (and missing ancestors) with
// mode 0700 whatever the umask, tightens a looser mode on one the user owns, and refuses a symbolic
// link or a non-directory (not_a_directory) and a directory of another user (permission_denied). The
// problem's detail is a one-line reason naming the directory.
Result<void, FileProblem> ensurePrivateDir(const std::filesystem::path& dir);

}  // namespace gt

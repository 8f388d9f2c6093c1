#pragma once
#include <filesystem>
#include <string>

namespace gt {

// Makes `dir` a directory only the current user can enter: creates it (and missing ancestors) with
// mode 0700 whatever the umask, tightens a looser mode on one the user owns, and refuses a symbolic
// link, a non-directory or a directory of another user. Empty when the directory is private, else a
// one-line reason.
std::string ensurePrivateDir(const std::filesystem::path& dir);

}  // namespace gt

#pragma once
#include <filesystem>

#include "core/common/file_io.h"

namespace gt {

// The running program's own path, from /proc/self/exe (the problem's detail), when the kernel can say.
Result<std::filesystem::path, FileProblem> runningProgram();

// The folder of the running program, where its sibling programs are installed; empty when unknown.
std::filesystem::path runningProgramDir();

// A regular file we may execute (access() alone says yes to a directory too).
bool isExecutableFile(const std::filesystem::path& path);

}  // namespace gt

#pragma once
#include <filesystem>
#include <system_error>

namespace gt {

// The running program's own path, from /proc/self/exe; empty with `ec` set when the kernel cannot say.
std::filesystem::path runningProgram(std::error_code& ec);

// The folder of the running program, where its sibling programs are installed; empty when unknown.
std::filesystem::path runningProgramDir();

// A regular file we may execute (access() alone says yes to a directory too).
bool isExecutableFile(const std::filesystem::path& path);

}  // namespace gt

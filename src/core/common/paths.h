#pragma once
#include <filesystem>

namespace gt {

// The current user's home directory: $HOME when set and absolute, else the password database.
std::filesystem::path homeDir();

// ~/.glowticker/run/events.sock, always formed from the home directory.
std::filesystem::path eventSocketPath();

}  // namespace gt

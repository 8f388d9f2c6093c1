#pragma once
#include <cstdlib>
#include <filesystem>
#include <optional>

namespace gt {

// The current user's home directory: $HOME when set and absolute, else the password database.
std::filesystem::path homeDir();

// $HOME when set and absolute. Header-only and without the password database, so that the statically
// linked hook sender needs no NSS module.
inline std::optional<std::filesystem::path> homeFromEnvironment() {
  const char* home = std::getenv("HOME");
  return home && home[0] == '/' ? std::optional<std::filesystem::path>(home) : std::nullopt;
}

// ~/.glowticker/run/events.sock, always formed from the home directory.
inline std::filesystem::path eventSocketPath(const std::filesystem::path& home) {
  return home / ".glowticker" / "run" / "events.sock";
}
std::filesystem::path eventSocketPath();

}  // namespace gt

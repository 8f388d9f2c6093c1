#include "core/common/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace gt {

std::filesystem::path homeDir() {
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::filesystem::path eventSocketPath() { return homeDir() / ".glowticker" / "run" / "events.sock"; }

}  // namespace gt

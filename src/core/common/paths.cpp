#include "core/common/paths.h"

#include <pwd.h>
#include <unistd.h>

namespace gt {

std::filesystem::path homeDir() {
  if (std::optional<std::filesystem::path> home = homeFromEnvironment()) return *home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::filesystem::path eventSocketPath() { return eventSocketPath(homeDir()); }

}  // namespace gt

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "core/common/paths.h"
#include "core/hooks/hook_state.h"
#include "core/hooks/utf8_text.h"

namespace gt {

bool isValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  int64_t len = static_cast<int64_t>(bytes.size());
  int64_t i = 0;
  while (i < len) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    UChar32 c;
    U8_NEXT(p, i, len, c);
    if (c < 0) return false;
  }
  return true;
}

namespace {

// Agent configuration files are a few kilobytes; anything this large is not one we wrote into.
constexpr off_t kMaxConfigBytes = 16 * 1024 * 1024;

// Reads a regular file whole. O_NONBLOCK keeps a FIFO planted at the path from blocking the caller.
std::optional<std::string> readRegularFile(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxConfigBytes) {
    ::close(fd);
    return std::nullopt;
  }
  std::string text;
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > static_cast<size_t>(kMaxConfigBytes)) {
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return text;
}

}  // namespace

namespace HookState {

std::filesystem::path configPath(AgentID agent, const std::filesystem::path& home) { return home / agent->configFile; }

bool isInstalled(AgentID agent) { return isInstalled(agent, homeDir()); }

bool isInstalled(AgentID agent, const std::filesystem::path& home) {
  std::optional<std::string> text = readRegularFile(configPath(agent, home));
  if (!text || !isValidUtf8(*text)) return false;
  return text->find("glowticker") != std::string::npos;
}

}  // namespace HookState

}  // namespace gt

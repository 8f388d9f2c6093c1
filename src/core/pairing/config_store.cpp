#include "core/pairing/config_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>

#include "core/common/file_io.h"
#include "core/common/paths.h"
#include "core/common/private_dir.h"
#include "core/common/utf8.h"

namespace gt {

namespace {

// A pairing file is a few hundred bytes; anything far larger is not ours and is not read into memory.
constexpr std::uintmax_t kMaxConfigBytes = 1024 * 1024;

// Canonical upper-case text of a random (version 4) UUID.
std::string randomUuid() {
  std::random_device rd;  // getrandom(2) / /dev/urandom on Linux
  std::array<unsigned char, 16> b{};
  for (std::size_t i = 0; i < b.size(); i += 4) {
    std::uint32_t r = rd();
    for (std::size_t j = 0; j < 4; ++j) b[i + j] = static_cast<unsigned char>(r >> (8 * j));
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

// The token must never stay readable by others, whoever loosened the modes: each load tightens the
// directory of ours to 0700 and the pairing file to 0600. Loading creates nothing, so an unpaired home
// stays as it is.
void tightenPairingFile(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
    ::fchmod(fd, 0600);
  ::close(fd);
}

struct BaseDirState {
  std::mutex mutex;
  std::optional<std::filesystem::path> dir;
};

BaseDirState& baseDirState() {
  static BaseDirState state;
  return state;
}

}  // namespace

namespace ConfigStore {

std::filesystem::path baseDir() {
  auto& s = baseDirState();
  std::lock_guard lock(s.mutex);
  if (!s.dir) s.dir = homeDir() / ".glowticker";
  return *s.dir;
}

void setBaseDir(std::filesystem::path dir) {
  auto& s = baseDirState();
  std::lock_guard lock(s.mutex);
  s.dir = std::move(dir);
}

void resetBaseDir() {
  auto& s = baseDirState();
  std::lock_guard lock(s.mutex);
  s.dir = homeDir() / ".glowticker";
}

std::filesystem::path configPath() { return baseDir() / "config.json"; }

std::optional<ClockConfig> load() {
  const auto dir = baseDir();
  struct stat st {};
  if (::lstat(dir.c_str(), &st) == 0) (void)ensurePrivateDir(dir);  // tightens a loosened directory of ours
  tightenPairingFile(dir / "config.json");
  auto file = readFileBounded(dir / "config.json", kMaxConfigBytes);
  if (!file) return std::nullopt;
  return decodeClockConfig(file->text);
}

// A save killed between creating its temporary file and the rename leaves that file behind, with a copy
// of the token in it. Older ones than any live save could be are removed; a fresh one may belong to a
// save still running in another process.
void sweepAbandonedTemporaries(const std::filesystem::path& dir) {
  std::error_code ec;
  const auto cutoff = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(1);
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(".config-", 0) != 0 || name.size() < 12 || name.compare(name.size() - 4, 4, ".tmp") != 0) continue;
    std::error_code statEc;
    if (!it->is_regular_file(statEc) || statEc) continue;
    auto written = it->last_write_time(statEc);
    if (!statEc && written < cutoff) std::filesystem::remove(it->path(), statEc);
  }
}

Result<void, FileProblem> save(const ClockConfig& cfg) {
  const auto dir = baseDir();  // one snapshot, so a concurrent setBaseDir cannot split the steps
  const auto file = dir / "config.json";

  // 0700 whatever the umask; a symbolic link or another user's directory is refused.
  if (auto made = ensurePrivateDir(dir); !made) return fail(made.error().kind, dir.string());
  // Text that is not UTF-8 cannot be written as JSON.
  for (const std::string* text : {&cfg.deviceName, &cfg.host, &cfg.token, &cfg.pairedAt})
    if (!isValidUtf8(*text)) return fail(std::errc::illegal_byte_sequence, file.string());

  ReplaceOptions options;
  options.mode = 0600;
  options.tempPath = dir / (".config-" + randomUuid() + ".tmp");
  if (auto written = replaceFileAtomically(file, encodeClockConfig(cfg), options); !written) return written;
  sweepAbandonedTemporaries(dir);
  return {};
}

Result<void, FileProblem> deleteConfig() {
  const auto dir = baseDir();
  if (::unlink((dir / "config.json").c_str()) != 0) return fail(std::errc(errno), (dir / "config.json").string());
  sweepAbandonedTemporaries(dir);  // unpairing should leave no copy of the token behind
  return {};
}

}  // namespace ConfigStore

}  // namespace gt

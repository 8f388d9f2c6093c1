#pragma once
#include <stdlib.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace gt::test {

// A fresh directory under /tmp, removed with its contents; short, so socket paths fit in 103 bytes.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = "/tmp/gtt-XXXXXX";
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string readAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Creates the parent directories as needed.
inline void writeAll(const std::filesystem::path& p, const std::string& text) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

// fn() while writing a file past `bytes` fails (EFBIG), root or not.
template <class Fn>
auto withFileSizeLimit(rlim_t bytes, Fn fn) {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{}, tiny{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  tiny = {bytes, old.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &tiny);
  auto result = fn();
  ::setrlimit(RLIMIT_FSIZE, &old);
  return result;
}

// Environment variables set (or with nullptr unset) until this object goes, then restored.
class Env {
 public:
  Env(const char* name, const char* value) { set(name, value); }
  ~Env() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
      it->second ? ::setenv(it->first.c_str(), it->second->c_str(), 1) : ::unsetenv(it->first.c_str());
  }
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  void set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace gt::test

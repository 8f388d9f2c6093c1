#pragma once
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace gt::test {

// A fresh directory under /tmp, removed with its contents. Kept short so socket paths stay far
// below the 103-byte limit.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = "/tmp/gtev-XXXXXX";
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace gt::test

#pragma once
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace gt::test {

// A private folder under /tmp, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text, unsigned mode = 0644);

struct ProcessResult {
  int status = -1;  // exit status, or -1 when it did not exit within the limit
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

// Runs a program with extra environment variables and standard input bytes (or, when
// `holdStdinOpen`, a pipe that is never closed); kills it after `limit`.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         const std::string& stdinBytes, bool holdStdinOpen = false,
                         std::chrono::milliseconds limit = std::chrono::seconds(10));

// A listening Unix socket at a path; can read the lines that one client sends.
class LineListener {
 public:
  explicit LineListener(const std::filesystem::path& socketPath);
  ~LineListener();
  // Accepts one connection and reads until the peer closes or `limit` passes.
  std::optional<std::string> receive(std::chrono::milliseconds limit = std::chrono::seconds(5));

 private:
  int fd_ = -1;
  std::filesystem::path path_;
};

}  // namespace gt::test

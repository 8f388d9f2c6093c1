#pragma once
#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include "support/test_files.h"

namespace gt::stress {

// Sanitizer quarantine and shadow memory: resident-memory bounds are checked in normal builds only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

using test::TempDir;

// Open descriptors of this process.
inline int openFdCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    --n;  // the directory stream itself
  }
  return n;
}

// Resident set size of a process in KiB, from /proc (0 when it cannot be read).
inline std::int64_t rssKiB(const std::string& pid = "self") {
  std::ifstream in("/proc/" + pid + "/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      std::int64_t kib = 0;
      in >> kib;
      return kib;
    }
    in.ignore(1 << 12, '\n');
  }
  return 0;
}

// Polls `done` until it holds or the time is up; true when it held.
template <class Pred>
bool waitFor(Pred done, std::chrono::milliseconds limit,
             std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  for (auto end = std::chrono::steady_clock::now() + limit; !done(); std::this_thread::sleep_for(step))
    if (std::chrono::steady_clock::now() >= end) return false;
  return true;
}

}  // namespace gt::stress

#pragma once
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
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

// Open descriptors of this process, less the one the listing itself holds.
inline int openFdCount() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})) - 1;
}

// Resident set size of this process in KiB (0 when it cannot be read).
inline std::int64_t rssKiB() {
  std::int64_t pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * ::sysconf(_SC_PAGESIZE) / 1024;
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

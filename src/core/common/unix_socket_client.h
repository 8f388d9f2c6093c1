#pragma once
#include <chrono>
#include <string>
#include <string_view>

namespace gt {

// How writing to a local stream socket ended. `error` is the errno of the failing step; ETIMEDOUT
// when the deadline passed first.
struct UnixSendResult {
  enum class Step { done, socket, connect, write };
  Step failedAt = Step::done;
  int error = 0;
  bool ok() const { return failedAt == Step::done; }
};

// Connects to the Unix-domain stream socket at `path`, writes all of `data` and closes, never waiting
// past `deadline`: a missing socket, nobody listening or a peer that stops reading all end quickly.
UnixSendResult sendToUnixSocket(const std::string& path, std::string_view data,
                                std::chrono::steady_clock::time_point deadline);

}  // namespace gt

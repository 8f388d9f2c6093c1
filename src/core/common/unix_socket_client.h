#pragma once
#include <chrono>
#include <string>
#include <string_view>

#include "core/common/result.h"

namespace gt {

// Where writing to a local stream socket failed, and the errno of that step; ETIMEDOUT when the deadline
// passed first.
struct UnixSendError {
  enum class Step { socket, connect, write };
  Step failedAt = Step::connect;
  int error = 0;
};

// Connects to the Unix-domain stream socket at `path`, writes all of `data` and closes, never waiting
// past `deadline`: a missing socket, nobody listening or a peer that stops reading all end quickly.
Result<void, UnixSendError> sendToUnixSocket(const std::string& path, std::string_view data,
                                             std::chrono::steady_clock::time_point deadline);

}  // namespace gt

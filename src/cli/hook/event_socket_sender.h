#pragma once
#include <chrono>
#include <string>
#include <string_view>

namespace gt {

// Writes one line to the app's event socket without ever waiting past the deadline: a missing
// socket, an app that is not running or one that stops reading all end in `false`, quickly.
class EventSocketSender {
 public:
  static bool send(const std::string& socketPath, std::string_view line,
                   std::chrono::steady_clock::time_point deadline);
};

}  // namespace gt

#pragma once
#include <string_view>

namespace gt {

// The system log. Implementations are thread-safe.
class Log {
 public:
  virtual ~Log() = default;
  virtual void error(std::string_view subsystem, std::string_view category, std::string_view text) = 0;
  virtual void info(std::string_view subsystem, std::string_view category, std::string_view text) = 0;
};

inline constexpr std::string_view kLogSubsystem = "io.glowticker.desktop";

}  // namespace gt

#pragma once
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/common/result.h"
#include "core/hooks/agent_id.h"
#include "core/hooks/install_report.h"

namespace gt {

struct HookSuccess {
  std::vector<InstallReport> reports;
  std::string note;
};

// Why setHook failed: the tool could not be started (`code` is the system's errno) or it failed (`code`
// is its exit status, 128 + the signal's number when a signal ended it); `description` is what to show.
struct HookError {
  enum class Kind { notStarted, toolFailed };
  Kind kind = Kind::toolFailed;
  int code = 0;
  std::string description;
};

using HookResult = Result<HookSuccess, HookError>;

// Runs the companion tool to install or remove one agent's hook. Thread-safe; calls are independent.
class HookInstaller {
 public:
  // Without a path: "glowticker-cli" beside the running executable when executable, else "/usr/bin/env".
  explicit HookInstaller(std::optional<std::string> cliPath = std::nullopt);
  const std::string& cliPath() const { return cliPath_; }

  static std::string resolveToolPath(const std::filesystem::path& executableDir);
  // argv[0] first: the executable, then its arguments.
  std::vector<std::string> commandLine(AgentID agent, bool enabled) const;

  // Waits for the tool to exit, draining its output meanwhile. A tool still running after the time
  // limit is killed and reported as a failure.
  HookResult setHook(AgentID agent, bool enabled) const;
  void setTimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }

 private:
  std::string cliPath_;
  std::chrono::milliseconds timeLimit_{std::chrono::minutes(2)};
};

}  // namespace gt

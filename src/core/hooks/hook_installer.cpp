#include "core/hooks/hook_installer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/common/bounded_run.h"
#include "core/common/program_path.h"
#include "core/common/utf8.h"

extern char** environ;

namespace gt {

namespace {

constexpr std::string_view kEnv = "/usr/bin/env";
// A tool that floods its output is still drained to the end, but only this much of each stream is kept.
constexpr size_t kMaxKeptOutput = 16 * 1024 * 1024;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

Failure<HookError> launchError(int err, const std::string& path) {
  return fail(HookError{HookError::Kind::notStarted, err, "Could not start " + path + ": " + std::strerror(err) + "."});
}

std::string textOrEmpty(std::string bytes) { return isValidUtf8(bytes) ? std::move(bytes) : std::string(); }

}  // namespace

HookInstaller::HookInstaller(std::optional<std::string> cliPath)
    : cliPath_(cliPath ? std::move(*cliPath) : resolveToolPath(runningProgramDir())) {}

std::string HookInstaller::resolveToolPath(const std::filesystem::path& executableDir) {
  if (!executableDir.empty()) {
    std::filesystem::path candidate = executableDir / "glowticker-cli";
    if (isExecutableFile(candidate)) return candidate.string();
  }
  return std::string(kEnv);
}

std::vector<std::string> HookInstaller::commandLine(AgentID agent, bool enabled) const {
  std::vector<std::string> argv{cliPath_};
  if (cliPath_ == kEnv) argv.emplace_back("glowticker");
  argv.emplace_back(enabled ? "install" : "uninstall");
  argv.emplace_back("--agent");
  argv.emplace_back(rawValue(agent));
  return argv;
}

HookResult HookInstaller::setHook(AgentID agent, bool enabled) const {
  std::vector<std::string> args = commandLine(agent, enabled);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // Close-on-exec pipes: a tool started by a concurrent call must not inherit our write ends, or
  // our reads would never see end of file.
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return launchError(errno, cliPath_);
  Fd outR(outPipe[0]), outW(outPipe[1]);
  if (::pipe2(errPipe, O_CLOEXEC) != 0) return launchError(errno, cliPath_);
  Fd errR(errPipe[0]), errW(errPipe[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outW.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errW.get(), STDERR_FILENO);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, cliPath_.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return launchError(rc, cliPath_);
  outW.reset();
  errW.reset();

  // Drain both pipes while the tool runs so that neither can fill up and stall it.
  std::string out, err;
  const bool timedOut = drainChildOutput(pid, outR.get(), errR.get(), out, err, kMaxKeptOutput,
                                         std::chrono::steady_clock::now() + timeLimit_);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }

  int code;
  if (WIFEXITED(status)) {
    code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    code = 128 + WTERMSIG(status);  // as a shell reports it
  } else {
    code = 1;
  }
  std::string outText = textOrEmpty(std::move(out));
  if (code == 0 && !timedOut) {
    HookSuccess ok;
    ok.reports = parseReports(outText);
    ok.note = extractRestartNote(outText).value_or(std::string());
    return ok;
  }
  std::string errText = textOrEmpty(std::move(err));
  HookError failure{HookError::Kind::toolFailed, code, !errText.empty() ? errText : outText};
  if (failure.description.empty() && WIFSIGNALED(status)) {
    failure.description = timedOut ? "The companion tool " + cliPath_ + " did not finish in time and was stopped."
                                   : "The companion tool " + cliPath_ + " was stopped by signal " +
                                         std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ").";
  }
  return fail(std::move(failure));
}

}  // namespace gt

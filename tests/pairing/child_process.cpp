#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>

extern char** environ;

namespace gt::test {

namespace {

constexpr std::size_t kMaxOutput = 1024 * 1024;

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    vars[kv.substr(0, kv.find('='))] = kv;
  }
  for (const auto& kv : extra) vars[kv.substr(0, kv.find('='))] = kv;
  std::vector<std::string> out;
  for (auto& [k, v] : vars) out.push_back(v);
  return out;
}

std::vector<char*> cArray(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Spawns with stdout (and stderr when errFd is given) on pipes; returns the pid or -1.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, int* outFd, int* errFd) {
  int out[2], err[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  if (errFd && ::pipe2(err, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  if (errFd) posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  auto args = cArray(argv);
  auto envp = cArray(env);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  if (errFd) ::close(err[1]);
  if (rc != 0) {
    ::close(out[0]);
    if (errFd) ::close(err[0]);
    return -1;
  }
  *outFd = out[0];
  if (errFd) *errFd = err[0];
  return pid;
}

int waitExit(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  while (true) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0 || Clock::now() >= deadline) return -2;
    ::usleep(10 * 1000);
  }
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     std::chrono::milliseconds timeout) {
  RunResult result;
  int outFd = -1, errFd = -1;
  pid_t pid = spawn(argv, mergedEnvironment(env), &outFd, &errFd);
  if (pid < 0) {
    result.err = "could not start " + argv.at(0);
    return result;
  }
  const auto deadline = Clock::now() + timeout;
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0 && Clock::now() < deadline) {
    if (::poll(fds, 2, msLeft(deadline)) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else if (sinks[i]->size() < kMaxOutput) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  int code = waitExit(pid, deadline);
  if (code == -2) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    result.timedOut = true;
    code = -1;
  }
  result.exitCode = code;
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv) {
  pid_ = spawn(argv, mergedEnvironment({}), &outFd_, nullptr);
}

BackgroundProcess::~BackgroundProcess() { stop(std::chrono::seconds(2)); }

std::optional<std::string> BackgroundProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    if (outFd_ < 0 || Clock::now() >= deadline || buffer_.size() > kMaxOutput) return std::nullopt;
    pollfd p{outFd_, POLLIN, 0};
    if (::poll(&p, 1, msLeft(deadline)) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(outFd_, buf, sizeof buf);
    if (n <= 0) {
      ::close(outFd_);
      outFd_ = -1;
    } else {
      buffer_.append(buf, static_cast<std::size_t>(n));
    }
  }
}

int BackgroundProcess::stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int code = waitExit(pid_, Clock::now() + timeout);
  if (code == -2) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    code = -1;
  }
  pid_ = -1;
  if (outFd_ >= 0) ::close(outFd_);
  outFd_ = -1;
  return code;
}

}  // namespace gt::test

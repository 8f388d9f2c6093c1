#include "cli/hook/event_socket_sender.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gt {

namespace {

int msLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool waitWritable(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    int left = msLeft(deadline);
    if (left == 0) return false;
    pollfd p{fd, POLLOUT, 0};
    int n = ::poll(&p, 1, left);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP));
  }
}

}  // namespace

bool EventSocketSender::send(const std::string& socketPath, std::string_view line,
                             std::chrono::steady_clock::time_point deadline) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, socketPath.data(), socketPath.size());

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // Unix sockets connect at once or not at all; a full listen backlog answers EAGAIN, worth
  // retrying briefly while the deadline allows.
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 || errno == EISCONN) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN && msLeft(deadline) > 2) {
      ::usleep(2000);
      continue;
    }
    ::close(fd);
    return false;
  }
  bool ok = true;
  size_t sent = 0;
  while (sent < line.size()) {
    ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitWritable(fd, deadline)) {
      continue;
    } else {
      ok = false;
      break;
    }
  }
  ::close(fd);
  return ok;
}

}  // namespace gt

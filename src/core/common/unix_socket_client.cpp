#include "core/common/unix_socket_client.h"

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

Failure<UnixSendError> failed(int fd, UnixSendError::Step step, int err) {
  if (fd >= 0) ::close(fd);
  return fail(UnixSendError{step, err});
}

}  // namespace

Result<void, UnixSendError> sendToUnixSocket(const std::string& path, std::string_view data,
                                             std::chrono::steady_clock::time_point deadline) {
  using Step = UnixSendError::Step;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return failed(-1, Step::connect, ENAMETOOLONG);
  std::memcpy(addr.sun_path, path.data(), path.size());

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed(-1, Step::socket, errno);
  // Unix sockets connect at once or not at all; a full listen backlog answers EAGAIN, worth
  // retrying briefly while the deadline allows.
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 || errno == EISCONN) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return failed(fd, Step::connect, errno);
    if (msLeft(deadline) <= 2) return failed(fd, Step::connect, ETIMEDOUT);
    ::usleep(2000);
  }
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitWritable(fd, deadline)) return failed(fd, Step::write, ETIMEDOUT);
    } else {
      return failed(fd, Step::write, n == 0 ? EPIPE : errno);
    }
  }
  ::close(fd);
  return {};
}

}  // namespace gt

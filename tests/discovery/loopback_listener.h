#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace gt::testing {

// A TCP listener on a loopback address with an ephemeral port. The kernel completes handshakes into the
// backlog, so nobody has to accept for a connection to come up.
class LoopbackListener {
 public:
  explicit LoopbackListener(const std::string& address = "127.0.0.1", int backlog = 16) {
    bool v6 = address.find(':') != std::string::npos;
    fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (v6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      if (inet_pton(AF_INET6, address.c_str(), &a->sin6_addr) != 1) {
        close();
        return;
      }
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      if (inet_pton(AF_INET, address.c_str(), &a->sin_addr) != 1) {
        close();
        return;
      }
      len = sizeof *a;
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd_, backlog) != 0) {
      close();
      return;
    }
    len = sizeof ss;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  }
  ~LoopbackListener() {
    for (int fd : fillers_) ::close(fd);
    close();
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool ok() const { return fd_ >= 0; }
  std::uint16_t port() const { return port_; }

  // Fills the accept queue (never accepting), so the kernel drops every further SYN: a connection to this
  // port then hangs instead of being refused. Returns whether a hanging connection was observed.
  bool makeBlackhole() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    for (int i = 0; i < 8; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) return false;
      fillers_.push_back(fd);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) continue;
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 300) == 0) return true;  // this one is stuck: the queue is full
    }
    return false;
  }

  // A port on 127.0.0.1 where nothing listens (bound once, then released).
  static std::uint16_t closedPort() {
    LoopbackListener l;
    return l.port();
  }

 private:
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace gt::testing

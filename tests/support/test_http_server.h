#pragma once
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gt::test {

struct HttpRequest {
  std::string method, target, head, body;  // target: path and query as sent; head: for header checks
  bool hasHeader(const std::string& line) const { return head.find("\r\n" + line + "\r\n") != std::string::npos; }
};

struct HttpReply {
  std::string raw;                       // bytes sent as they are
  bool hang = false;                     // then keep the connection open until the server stops
  std::chrono::milliseconds perByte{0};  // send one byte at a time at this pace

  static HttpReply status(int code, const std::string& body, const std::string& extraHeaders = {}) {
    return {"HTTP/1.1 " + std::to_string(code) + " Test\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body};
  }
};

// An HTTP/1.1 server on 127.0.0.1 or ::1, a thread per connection, requests bounded to 256 KiB and 5 s.
class TestHttpServer {
 public:
  using Handler = std::function<HttpReply(const HttpRequest&)>;

  TestHttpServer(bool ipv6, Handler handler) : handler_(std::move(handler)) {
    sockaddr_in6 a6{AF_INET6, 0, 0, in6addr_loopback, 0};
    sockaddr_in a4{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    auto* addr = ipv6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
    socklen_t len = ipv6 ? sizeof a6 : sizeof a4;
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, addr, len) != 0 || ::listen(fd, 64) != 0 || ::getsockname(fd, addr, &len) != 0) {
      if (fd >= 0) ::close(fd);
      return;
    }
    port_ = ntohs(ipv6 ? a6.sin6_port : a4.sin_port);
    listenFd_ = fd;
    acceptor_ = std::thread([this] {
      while (!stop_) {
        if (!readable(listenFd_, 50)) continue;
        int c = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard lock(mutex_);
        if (c >= 0) workers_.emplace_back([this, c] { serve(c); });
      }
    });
  }
  ~TestHttpServer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& t : workers_) t.join();
    if (listenFd_ >= 0) ::close(listenFd_);
  }
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  bool ok() const { return listenFd_ >= 0; }  // false when the address cannot be bound (no IPv6)
  int port() const { return port_; }
  std::vector<HttpRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  static bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }
  void pause(std::chrono::milliseconds d) {
    for (auto end = std::chrono::steady_clock::now() + d; !stop_ && std::chrono::steady_clock::now() < end;)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bool send(int fd, const char* p, std::size_t n) {
    for (ssize_t k = 0; n > 0 && !stop_; p += k, n -= static_cast<std::size_t>(k))
      if ((k = ::send(fd, p, n, MSG_NOSIGNAL)) <= 0) return false;
    return n == 0;
  }
  void serve(int fd) {
    std::string data;
    char buf[8192];
    HttpRequest req;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!stop_ && std::chrono::steady_clock::now() < deadline && data.size() < 256 * 1024 && req.method.empty()) {
      ssize_t n = readable(fd, 50) ? ::recv(fd, buf, sizeof buf, 0) : -1;
      if (n == 0) break;
      if (n > 0) data.append(buf, static_cast<std::size_t>(n));
      std::size_t headEnd = data.find("\r\n\r\n");
      if (headEnd == std::string::npos) continue;
      req.head = data.substr(0, headEnd + 2);
      std::size_t cl = req.head.find("\r\nContent-Length: "), length = 0;
      if (cl != std::string::npos) length = std::stoul(req.head.substr(cl + 18));
      if (data.size() < headEnd + 4 + length) continue;
      req.body = data.substr(headEnd + 4, length);
      std::size_t sp1 = req.head.find(' '), sp2 = req.head.find(' ', sp1 + 1);
      req.target = req.head.substr(sp1 + 1, sp2 - sp1 - 1);
      req.method = req.head.substr(0, sp1);
    }
    if (!req.method.empty()) {
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(req);
      }
      HttpReply reply = handler_(req);
      if (reply.perByte.count() == 0) send(fd, reply.raw.data(), reply.raw.size());
      for (std::size_t i = 0; reply.perByte.count() && i < reply.raw.size() && send(fd, &reply.raw[i], 1); ++i)
        pause(reply.perByte);
      if (reply.hang) pause(std::chrono::hours(1));
      ::shutdown(fd, SHUT_WR);
      // Let the client read everything before the close, so it sees an orderly end.
      while (!stop_ && readable(fd, 200) && ::recv(fd, buf, sizeof buf, 0) > 0) {
      }
    }
    ::close(fd);
  }

  Handler handler_;
  int listenFd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<HttpRequest> requests_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// A loopback TCP port with nothing listening on it (bound, then closed).
inline int unusedLoopbackPort() {
  TestHttpServer s(false, [](const HttpRequest&) { return HttpReply{}; });
  return s.port();
}

}  // namespace gt::test

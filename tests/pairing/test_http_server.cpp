#include "test_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

namespace gt::test {

namespace {

constexpr std::size_t kMaxRequest = 256 * 1024;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// Reads what is available within `ms`; 0 bytes read on orderly close, -1 on timeout or error.
ssize_t readSome(int fd, char* buf, std::size_t n, int ms) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return -1;
  return ::recv(fd, buf, n, 0);
}

}  // namespace

std::string HttpRequest::header(const std::string& name) const {
  const std::string want = lower(name) + ":";
  std::size_t pos = head.find("\r\n");
  while (pos != std::string::npos && pos + 2 < head.size()) {
    std::size_t end = head.find("\r\n", pos + 2);
    std::string line = head.substr(pos + 2, end == std::string::npos ? std::string::npos : end - pos - 2);
    if (lower(line).rfind(want, 0) == 0) {
      std::string v = line.substr(want.size());
      v.erase(0, v.find_first_not_of(' '));
      v.erase(v.find_last_not_of(' ') + 1);
      return v;
    }
    pos = end;
  }
  return {};
}

HttpReply HttpReply::status(int code, const std::string& body, const std::string& extraHeaders) {
  std::string raw = "HTTP/1.1 " + std::to_string(code) + " Test\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
  return {raw, false};
}

TestHttpServer::TestHttpServer(bool ipv6, Handler handler) : handler_(std::move(handler)) {
  int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_storage ss{};
  socklen_t len = 0;
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
    ::close(fd);
    return;
  }
  port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  listenFd_ = fd;
  acceptor_ = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

std::vector<HttpRequest> TestHttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void TestHttpServer::acceptLoop() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

void TestHttpServer::serve(int fd) {
  std::string data;
  char buf[8192];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  HttpRequest req;
  bool complete = false;
  while (!stop_ && std::chrono::steady_clock::now() < deadline && data.size() < kMaxRequest) {
    ssize_t n = readSome(fd, buf, sizeof buf, 50);
    if (n == 0) break;
    if (n > 0) data.append(buf, static_cast<std::size_t>(n));
    std::size_t headEnd = data.find("\r\n\r\n");
    if (headEnd == std::string::npos) continue;
    req.head = data.substr(0, headEnd + 2);
    std::size_t contentLength = 0;
    if (std::string cl = req.header("Content-Length"); !cl.empty()) contentLength = std::stoul(cl);
    if (data.size() < headEnd + 4 + contentLength) continue;
    req.body = data.substr(headEnd + 4, contentLength);
    std::size_t sp1 = req.head.find(' '), sp2 = req.head.find(' ', sp1 + 1);
    req.method = req.head.substr(0, sp1);
    req.target = req.head.substr(sp1 + 1, sp2 - sp1 - 1);
    complete = true;
    break;
  }
  if (complete) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(req);
    }
    HttpReply reply = handler_(req);
    if (reply.hang) {
      while (!stop_) ::usleep(20 * 1000);
    } else {
      std::size_t sent = 0;
      while (sent < reply.raw.size()) {
        ssize_t n = ::send(fd, reply.raw.data() + sent, reply.raw.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
      ::shutdown(fd, SHUT_WR);
      // Let the client read everything before the close, so it sees an orderly end.
      while (!stop_ && readSome(fd, buf, sizeof buf, 200) > 0) {
      }
    }
  }
  ::close(fd);
}

int unusedLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

}  // namespace gt::test

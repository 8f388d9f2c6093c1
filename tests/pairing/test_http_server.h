#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gt::test {

struct HttpRequest {
  std::string method;
  std::string target;  // path and query as sent
  std::string head;    // the whole request head, for header checks
  std::string body;

  // Value of the first header with this name (case-insensitive), without surrounding blanks.
  std::string header(const std::string& name) const;
};

struct HttpReply {
  std::string raw;    // bytes sent as they are
  bool hang = false;  // keep the connection open and never answer (until the server stops)

  static HttpReply status(int code, const std::string& body, const std::string& extraHeaders = {});
  static HttpReply bytes(std::string raw) { return {std::move(raw), false}; }
  static HttpReply never() { return {{}, true}; }
};

// A small threaded HTTP/1.1 server on 127.0.0.1 or ::1 (port chosen by the kernel), one thread per
// connection, each request answered by the handler. Requests are bounded to 256 KiB; every read waits
// at most 5 s; the destructor stops everything within about 100 ms.
class TestHttpServer {
 public:
  using Handler = std::function<HttpReply(const HttpRequest&)>;

  TestHttpServer(bool ipv6, Handler handler);
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  bool ok() const { return listenFd_ >= 0; }  // false when the address cannot be bound (no IPv6)
  int port() const { return port_; }
  std::vector<HttpRequest> requests() const;

 private:
  void acceptLoop();
  void serve(int fd);

  Handler handler_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<HttpRequest> requests_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// A loopback TCP port with nothing listening on it (bound, then closed).
int unusedLoopbackPort();

}  // namespace gt::test

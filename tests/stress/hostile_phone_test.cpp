// A "phone" on loopback that misbehaves in every way a network peer can: the probe gives up within
// its 2 s and pairing within its 5 s with the fitting error, and memory stays put.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/pairing/clock_api.h"
#include "stress_support.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class Misbehaviour { neverAnswers, oneBytePerSecond, hugeBody, redirectLoop, notHttp, dropsMidBody };

// One TCP listener on 127.0.0.1 answering every connection the same bad way; stops everything
// (threads and sockets) in its destructor within about 100 ms.
class HostilePhone {
 public:
  explicit HostilePhone(Misbehaviour how) : how_(how) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~HostilePhone() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    {
      std::lock_guard<std::mutex> g(lock_);
      for (int c : conns_) ::shutdown(c, SHUT_RDWR);
    }
    for (auto& t : workers_) t.join();
    for (int c : conns_) ::close(c);
    ::close(fd_);
  }
  int port() const { return port_; }

 private:
  void acceptLoop() {
    while (!stop_) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      std::lock_guard<std::mutex> g(lock_);
      conns_.push_back(c);
      workers_.emplace_back([this, c] { serve(c); });
    }
  }
  bool sendAll(int c, std::string_view s) {
    while (!s.empty() && !stop_) {
      ssize_t n = ::send(c, s.data(), s.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      s.remove_prefix(static_cast<std::size_t>(n));
    }
    return s.empty();
  }
  void pause(std::chrono::milliseconds d) {
    for (auto end = Clock::now() + d; !stop_ && Clock::now() < end;) std::this_thread::sleep_for(10ms);
  }
  void serve(int c) {
    // Read the request head (and whatever body came with it) before misbehaving.
    char buf[4096];
    timeval tv{0, 200000};
    ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string req;
    while (!stop_ && req.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n == 0) return;
      if (n > 0) req.append(buf, static_cast<std::size_t>(n));
    }
    const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 38\r\n\r\n"
        "{\"token\":\"t0k3n\",\"device\":\"Hostile\"}\r\n";
    switch (how_) {
      case Misbehaviour::neverAnswers:
        pause(30s);
        break;
      case Misbehaviour::oneBytePerSecond:
        for (char ch : answer) {
          if (!sendAll(c, std::string_view(&ch, 1))) break;
          pause(1s);
        }
        break;
      case Misbehaviour::hugeBody: {
        if (!sendAll(c, "HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n")) break;
        std::string chunk(64 * 1024, '{');
        for (int i = 0; i < 16384 && sendAll(c, chunk); ++i) {
        }
        break;
      }
      case Misbehaviour::redirectLoop:
        sendAll(c, "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" + std::to_string(port_) +
                       "/api/pair\r\nContent-Length: 5\r\n\r\nagain");
        pause(30s);
        break;
      case Misbehaviour::notHttp: {
        // A TLS client hello's first bytes, then text and bytes that are no HTTP status line.
        static constexpr char kNoise[] = "\x16\x03\x01\x00\xa5\x01\x00\x00garbage\r\n\r\n\xff\xfe";
        sendAll(c, std::string_view(kNoise, sizeof kNoise - 1));
        pause(30s);
        break;
      }
      case Misbehaviour::dropsMidBody:
        sendAll(c, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"token\":\"t0");
        break;
    }
    ::shutdown(c, SHUT_RDWR);
  }

  Misbehaviour how_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::vector<int> conns_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

struct Case {
  const char* name;
  Misbehaviour how;
  PairError::Kind expected;
};

class HostilePhoneTest : public ::testing::TestWithParam<Case> {};

TEST_P(HostilePhoneTest, ProbeFalseWithin2sPairFailsRightWithin5sMemoryBounded) {
  const Case& c = GetParam();
  HostilePhone phone(c.how);
  ASSERT_GT(phone.port(), 0);
  ClockAPI api;
  const std::int64_t rssBefore = stress::rssKiB();

  auto t0 = Clock::now();
  EXPECT_FALSE(api.probe("127.0.0.1", phone.port(), "tok"));
  auto probeTook = Clock::now() - t0;
  EXPECT_LT(probeTook, 2500ms);

  t0 = Clock::now();
  PairResult r = api.pair("127.0.0.1", phone.port(), "1234", "stress-host");
  auto pairTook = Clock::now() - t0;
  EXPECT_LT(pairTook, 5500ms);
  ASSERT_TRUE(std::holds_alternative<PairError>(r)) << "pairing succeeded against a hostile phone";
  const PairError& e = std::get<PairError>(r);
  EXPECT_EQ(static_cast<int>(e.kind), static_cast<int>(c.expected))
      << "status " << e.status << " message '" << e.message << "' body '" << e.body << "'";
  if (e.kind == PairError::Kind::http) {
    EXPECT_EQ(e.status, 302);
  }

  const std::int64_t growth = stress::rssKiB() - rssBefore;
  if (!stress::kSanitized) {
    EXPECT_LT(growth, 16 * 1024) << "KiB";
  }
  std::printf("%s: probe %.2f s, pair %.2f s, RSS growth %lld KiB\n", c.name,
              std::chrono::duration<double>(probeTook).count(), std::chrono::duration<double>(pairTook).count(),
              static_cast<long long>(growth));
}

INSTANTIATE_TEST_SUITE_P(
    Stress, HostilePhoneTest,
    ::testing::Values(Case{"neverAnswers", Misbehaviour::neverAnswers, PairError::Kind::transport},
                      Case{"oneBytePerSecond", Misbehaviour::oneBytePerSecond, PairError::Kind::transport},
                      Case{"hugeBody", Misbehaviour::hugeBody, PairError::Kind::transport},
                      Case{"redirectLoop", Misbehaviour::redirectLoop, PairError::Kind::http},
                      Case{"notHttp", Misbehaviour::notHttp, PairError::Kind::transport},
                      Case{"dropsMidBody", Misbehaviour::dropsMidBody, PairError::Kind::transport}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace gt

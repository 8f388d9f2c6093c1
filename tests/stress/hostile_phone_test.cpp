// A misbehaving "phone" on loopback: probe gives up within 2 s, pairing within 5 s, memory stays put.
#include <gtest/gtest.h>

#include "core/pairing/phone_client.h"
#include "support/stress_support.h"
#include "support/test_http_server.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using test::HttpReply;

struct Case {
  const char* name;
  HttpReply reply;
  PairError::Kind expected;
  std::string message;  // part of the transport error
  bool waitsOut;        // the client's own time-out must end it
};

TEST(HostilePhone, ProbeFalseWithin2sPairFailsRightWithin5sMemoryBounded) {
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 38\r\n\r\n{\"token\":\"t0k3n\",\"device\":\"Hostile\"}\r\n";
  const auto transport = PairError::Kind::transport;
  const std::vector<Case> cases = {
      {"neverAnswers", {{}, true}, transport, "timed out", true},
      {"oneBytePerSecond", {ok, false, 1s}, transport, "timed out", true},
      {"hugeBody", {"HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n" + std::string(1 << 20, '{')}, transport,
       "larger than 65536 bytes", false},
      {"redirectLoop", HttpReply::status(302, "again", "Location: /api/pair\r\n"), PairError::Kind::http, "", false},
      // A TLS client hello's first bytes, then text and bytes that are no HTTP status line.
      {"notHttp", {std::string("\x16\x03\x01\x00\xa5\x01\x00\x00garbage\r\n\r\n\xff\xfe", 22), true}, transport,
       "non-HTTP response", false},
      {"dropsMidBody", {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"token\":\"t0"}, transport, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TestHttpServer phone(false, [&](const test::HttpRequest&) { return c.reply; });
    ASSERT_TRUE(phone.ok());
    ClockAPI api;
    const std::int64_t rssBefore = stress::rssKiB();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(api.probe("127.0.0.1", phone.port(), "tok"));
    const std::chrono::duration<double> probeTook = std::chrono::steady_clock::now() - t0;
    t0 = std::chrono::steady_clock::now();
    PairResult r = api.pair("127.0.0.1", phone.port(), "1234", "stress-host");
    const std::chrono::duration<double> pairTook = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(probeTook, 2500ms);
    EXPECT_LT(pairTook, 5500ms);
    ASSERT_FALSE(r) << "pairing succeeded against a hostile phone";
    const PairError& e = r.error();
    EXPECT_EQ(e.kind, c.expected) << "status " << e.status << " message '" << e.message << "'";
    EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
    EXPECT_EQ(e.status, e.kind == PairError::Kind::http ? 302 : 0);
    if (c.waitsOut) {  // and not given up before the bound
      EXPECT_GE(probeTook, 1900ms);
      EXPECT_GE(pairTook, 4900ms);
    }
    const std::int64_t growth = stress::rssKiB() - rssBefore;
    if (!stress::kSanitized) EXPECT_LT(growth, 16 * 1024) << "KiB";
  }
}

}  // namespace
}  // namespace gt

#include "core/pairing/clock_api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "test_http_server.h"

namespace gt {
namespace {

using test::HttpReply;
using test::HttpRequest;
using test::TestHttpServer;
using namespace std::chrono_literals;

// Short bounds keep the suite fast; the real 2 s / 5 s bounds have their own tests below.
const ClockAPI kApi(ClockAPI::Timeouts{1500ms, 1500ms});

double secondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST(ClockApiEndpoint, BracketsOnlyHostsWithColons) {
  EXPECT_EQ(ClockAPI::endpointString("192.168.1.20", 8080, "/api/pair"), "http://192.168.1.20:8080/api/pair");
  EXPECT_EQ(ClockAPI::endpointString("fe80::1c2d:3e4f:5a6b:7c8d", 8080, "/api/agent"),
            "http://[fe80::1c2d:3e4f:5a6b:7c8d]:8080/api/agent");
  EXPECT_EQ(ClockAPI::endpointString("phone.local", 80, ""), "http://phone.local:80");
  EXPECT_EQ(ClockAPI::endpointString("h", -1, "/x"), "http://h:-1/x");
}

TEST(ClockApiProbe, OnlyStatus200CountsAndTheTokenIsQueryEncoded) {
  int status = 200;
  TestHttpServer server(false, [&](const HttpRequest&) { return HttpReply::status(status, "anything at all"); });
  ASSERT_TRUE(server.ok());
  EXPECT_TRUE(kApi.probe("127.0.0.1", server.port(), "a b&c=d/é+"));
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].method, "GET");
  EXPECT_EQ(reqs[0].target, "/api/agent?token=a%20b%26c%3Dd%2F%C3%A9%2B");
  EXPECT_TRUE(reqs[0].body.empty());

  for (int s : {204, 401, 403, 500, 302}) {
    status = s;
    EXPECT_FALSE(kApi.probe("127.0.0.1", server.port(), "t")) << "status " << s;
  }
}

TEST(ClockApiProbe, WorksOverIpv6Loopback) {
  TestHttpServer server(true, [](const HttpRequest&) { return HttpReply::status(200, ""); });
  if (!server.ok()) GTEST_SKIP() << "::1 cannot be bound here (IPv6 disabled)";
  EXPECT_TRUE(kApi.probe("::1", server.port(), "t"));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].header("Host"), "[::1]:" + std::to_string(server.port()));
}

TEST(ClockApiProbe, FailuresAreFalse) {
  EXPECT_FALSE(kApi.probe("127.0.0.1", test::unusedLoopbackPort(), "t"));  // refused
  EXPECT_FALSE(kApi.probe("a b", 80, "t"));                                // not a URL
  TestHttpServer garbage(false, [](const HttpRequest&) { return HttpReply::bytes("\x01\x02 not http\r\n\r\n"); });
  ASSERT_TRUE(garbage.ok());
  EXPECT_FALSE(kApi.probe("127.0.0.1", garbage.port(), "t"));
  // A 200 whose body exceeds the bound is not read to the end.
  TestHttpServer huge(false, [](const HttpRequest&) {
    return HttpReply::status(200, std::string(ClockAPI::kMaxResponseBytes + 1, 'x'));
  });
  ASSERT_TRUE(huge.ok());
  EXPECT_FALSE(kApi.probe("127.0.0.1", huge.port(), "t"));
}

TEST(ClockApiProbe, SilentDeviceIsGivenUpAfterTwoSeconds) {
  TestHttpServer server(false, [](const HttpRequest&) { return HttpReply::never(); });
  ASSERT_TRUE(server.ok());
  ClockAPI api;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(api.probe("127.0.0.1", server.port(), "t"));
  double s = secondsSince(t0);
  EXPECT_GE(s, 1.9);
  EXPECT_LT(s, 3.5);
}

struct PairCase {
  int status;
  std::string body;
  PairResult expected;
};

TEST(ClockApiPair, MapsEachStatusAndBody) {
  const std::string notUtf8 = "\xff\xfe bad \xc3";
  const std::vector<PairCase> cases = {
      {200, R"({"token":"T1","device":"Desk phone"})", PairSuccess{"T1", "Desk phone"}},
      {200, R"({"token":"T1"})", PairSuccess{"T1", ""}},
      {200, R"({"token":"T1","device":7})", PairSuccess{"T1", ""}},
      {200, R"({"token":""})", PairError::http(200, R"(missing token: {"token":""})")},
      {200, R"({"token":42})", PairError::http(200, R"(missing token: {"token":42})")},
      {200, R"(["token"])", PairError::http(200, R"(missing token: ["token"])")},
      {200, "not json", PairError::http(200, "missing token: not json")},
      {200, "", PairError::http(200, "missing token: ")},
      {429, R"({"retry_after":30})", PairError::locked(30)},
      {429, R"({"retry_after":-5})", PairError::locked(-5)},
      {429, R"({"retry_after":30.0})", PairError::locked(30)},
      {429, R"({"retry_after":30.5})", PairError::locked(0)},
      {429, R"({"retry_after":"30"})", PairError::locked(0)},
      {429, R"({"retry_after":1e300})", PairError::locked(0)},
      {429, "", PairError::locked(0)},
      {429, "{}", PairError::locked(0)},
      {429, "[30]", PairError::locked(0)},
      {403, "", PairError::invalidCode()},
      {403, R"({"token":"T1"})", PairError::invalidCode()},
      {201, "created", PairError::http(201, "created")},
      {500, "boom ünïcode", PairError::http(500, "boom ünïcode")},
      {500, notUtf8, PairError::http(500, "")},
      {200, notUtf8, PairError::http(200, "missing token: ")},
      {404, "", PairError::http(404, "")},
  };
  std::size_t next = 0;
  TestHttpServer server(false,
                        [&](const HttpRequest&) { return HttpReply::status(cases[next].status, cases[next].body); });
  ASSERT_TRUE(server.ok());
  for (; next < cases.size(); ++next) {
    const auto& c = cases[next];
    EXPECT_EQ(kApi.pair("127.0.0.1", server.port(), "1234", "laptop"), c.expected)
        << "status " << c.status << " body " << c.body;
  }
}

TEST(ClockApiPair, RedirectsAreNotFollowed) {
  TestHttpServer target(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"stolen"})"); });
  ASSERT_TRUE(target.ok());
  const std::string location = "Location: http://127.0.0.1:" + std::to_string(target.port()) + "/api/pair\r\n";
  TestHttpServer server(false, [&](const HttpRequest&) { return HttpReply::status(307, "moved", location); });
  ASSERT_TRUE(server.ok());
  EXPECT_EQ(kApi.pair("127.0.0.1", server.port(), "1234", "c"), PairResult(PairError::http(307, "moved")));
  EXPECT_TRUE(target.requests().empty());
}

TEST(ClockApiPair, SendsCompactJsonOfTwoStringsKeepingLeadingZeros) {
  TestHttpServer server(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"T"})"); });
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(kApi.pair("127.0.0.1", server.port(), "0042", "my \"host\" ü"), PairResult(PairSuccess{"T", ""}));
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].method, "POST");
  EXPECT_EQ(reqs[0].target, "/api/pair");
  EXPECT_EQ(reqs[0].header("Content-Type"), "application/json; charset=utf-8");
  const auto& body = reqs[0].body;
  // Compact, in either member order.
  const std::string codeMember = R"("code":"0042")", clientMember = R"("client":"my \"host\" ü")";
  EXPECT_TRUE(body == "{" + codeMember + "," + clientMember + "}" ||
              body == "{" + clientMember + "," + codeMember + "}")
      << body;
  auto doc = nlohmann::json::parse(body);
  ASSERT_TRUE(doc.is_object());
  EXPECT_EQ(doc.size(), 2u);
  EXPECT_EQ(doc["code"], "0042");
  EXPECT_EQ(doc["client"], "my \"host\" ü");
}

TEST(ClockApiPair, WorksOverIpv6Loopback) {
  TestHttpServer server(true, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"T6"})"); });
  if (!server.ok()) GTEST_SKIP() << "::1 cannot be bound here (IPv6 disabled)";
  EXPECT_EQ(kApi.pair("::1", server.port(), "1234", "c"), PairResult(PairSuccess{"T6", ""}));
}

TEST(ClockApiPair, InvalidAddressesAreRefusedBeforeAnyRequest) {
  // Each of these would, if accepted, go to loopback only; none may be sent at all.
  TestHttpServer server(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"T"})"); });
  ASSERT_TRUE(server.ok());
  const int p = server.port();
  const std::vector<std::pair<std::string, std::int64_t>> bad = {
      {"a b", 8080},                          // blank in a host name
      {"::g", 8080},                          // not an IPv6 literal: bracketed in the URL, bare in the text
      {"", 8080},                             // no host
      {"127.0.0.1", 70000},                   // port out of range
      {"127.0.0.1", -1},                      // negative port
      {"127.0.0.1/evil?x=", p},               // a path smuggled in the host
      {"user@127.0.0.1", p},                  // user info smuggled in the host
      {"127.0.0.1:" + std::to_string(p), p},  // host with its own port
  };
  for (const auto& [host, port] : bad) {
    auto r = kApi.pair(host, port, "1234", "c");
    EXPECT_EQ(r, PairResult(PairError::transport("invalid device address " + host + ":" + std::to_string(port))))
        << host;
    EXPECT_FALSE(kApi.probe(host, port, "t")) << host;
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST(ClockApiPair, TransportFailuresCarryAReason) {
  auto refused = kApi.pair("127.0.0.1", test::unusedLoopbackPort(), "1234", "c");
  ASSERT_TRUE(std::holds_alternative<PairError>(refused));
  EXPECT_EQ(std::get<PairError>(refused).kind, PairError::Kind::transport);
  EXPECT_FALSE(std::get<PairError>(refused).message.empty());

  for (std::string garbage : {std::string("\x01\x02 not http\r\n\r\n"), std::string("SSH-2.0-OpenSSH_9.2\r\n")}) {
    TestHttpServer server(false, [&](const HttpRequest&) { return HttpReply::bytes(garbage); });
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(kApi.pair("127.0.0.1", server.port(), "1234", "c"),
              PairResult(PairError::transport("non-HTTP response")));
  }

  TestHttpServer huge(false, [](const HttpRequest&) {
    return HttpReply::status(500, std::string(ClockAPI::kMaxResponseBytes + 1, 'x'));
  });
  ASSERT_TRUE(huge.ok());
  auto r = kApi.pair("127.0.0.1", huge.port(), "1234", "c");
  ASSERT_TRUE(std::holds_alternative<PairError>(r));
  EXPECT_EQ(std::get<PairError>(r).kind, PairError::Kind::transport);
  EXPECT_NE(std::get<PairError>(r).message.find("larger than 65536 bytes"), std::string::npos);

  // Exactly at the bound is still read whole.
  TestHttpServer atBound(
      false, [](const HttpRequest&) { return HttpReply::status(500, std::string(ClockAPI::kMaxResponseBytes, 'y')); });
  ASSERT_TRUE(atBound.ok());
  EXPECT_EQ(kApi.pair("127.0.0.1", atBound.port(), "1234", "c"),
            PairResult(PairError::http(500, std::string(ClockAPI::kMaxResponseBytes, 'y'))));
}

TEST(ClockApiPair, InvalidUtf8InTheRequestIsTheSerialisersError) {
  TestHttpServer server(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"T"})"); });
  ASSERT_TRUE(server.ok());
  EXPECT_THROW(kApi.pair("127.0.0.1", server.port(), "12\xff", "c"), nlohmann::json::type_error);
  EXPECT_TRUE(server.requests().empty());
}

TEST(ClockApiPair, SilentDeviceIsGivenUpAfterFiveSeconds) {
  TestHttpServer server(false, [](const HttpRequest&) { return HttpReply::never(); });
  ASSERT_TRUE(server.ok());
  ClockAPI api;
  auto t0 = std::chrono::steady_clock::now();
  auto r = api.pair("127.0.0.1", server.port(), "1234", "c");
  double s = secondsSince(t0);
  ASSERT_TRUE(std::holds_alternative<PairError>(r));
  EXPECT_EQ(std::get<PairError>(r).kind, PairError::Kind::transport);
  EXPECT_NE(std::get<PairError>(r).message.find("timed out"), std::string::npos) << std::get<PairError>(r).message;
  EXPECT_GE(s, 4.9);
  EXPECT_LT(s, 6.5);
}

TEST(ClockApi, IgnoresProxiesFromTheEnvironment) {
  TestHttpServer proxy(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"proxy"})"); });
  TestHttpServer device(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"direct"})"); });
  ASSERT_TRUE(proxy.ok() && device.ok());
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
  for (const char* var : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) ::setenv(var, proxyUrl.c_str(), 1);
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  auto r = kApi.pair("127.0.0.1", device.port(), "1234", "c");
  bool probed = kApi.probe("127.0.0.1", device.port(), "t");
  for (const char* var : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(var);
  EXPECT_EQ(r, PairResult(PairSuccess{"direct", ""}));
  EXPECT_TRUE(probed);
  EXPECT_TRUE(proxy.requests().empty());
}

TEST(ClockApi, ConcurrentCallsDoNotInterfere) {
  TestHttpServer server(false, [](const HttpRequest& req) {
    if (req.method == "GET")
      return HttpReply::status(req.target.find("token=good") != std::string::npos ? 200 : 401, "");
    auto doc = nlohmann::json::parse(req.body);
    return HttpReply::status(200, nlohmann::json{{"token", "tok-" + doc["code"].get<std::string>()}}.dump());
  });
  ASSERT_TRUE(server.ok());
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 5; ++k) {
        const std::string code = std::to_string(1000 + i * 10 + k);
        if (kApi.pair("127.0.0.1", server.port(), code, "c") != PairResult(PairSuccess{"tok-" + code, ""})) ++failures;
        if (kApi.probe("127.0.0.1", server.port(), (i + k) % 2 ? "good" : "bad") != bool((i + k) % 2)) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(server.requests().size(), 80u);
}

}  // namespace
}  // namespace gt

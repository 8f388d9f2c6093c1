#include "core/pairing/phone_client.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "support/test_files.h"
#include "support/test_http_server.h"

namespace gt {
namespace {

using test::HttpReply;
using test::HttpRequest;
using test::TestHttpServer;
using namespace std::chrono_literals;

// Short bounds keep the suite fast; the real 2 s / 5 s bounds are the hostile-phone stress test's.
const ClockAPI kApi(ClockAPI::Timeouts{1500ms, 1500ms});
const std::string kLocal = "127.0.0.1";

TEST(ClockApi, ProbeCountsOnlyStatus200AndQueryEncodesTheToken) {
  int status = 200;
  TestHttpServer server(false, [&](const HttpRequest&) { return HttpReply::status(status, "anything at all"); });
  EXPECT_TRUE(kApi.probe(kLocal, server.port(), "a b&c=d/é+"));
  ASSERT_EQ(server.requests().size(), 1u);
  const HttpRequest req = server.requests().at(0);
  EXPECT_EQ(std::tuple(req.method, req.target, req.body),
            std::tuple("GET", "/api/agent?token=a%20b%26c%3Dd%2F%C3%A9%2B", ""));
  for (int s : {204, 401, 403, 500, 302}) {
    status = s;
    EXPECT_FALSE(kApi.probe(kLocal, server.port(), "t")) << "status " << s;
  }
}

TEST(ClockApi, WorksOverIpv6Loopback) {
  TestHttpServer server(true, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"T6"})"); });
  if (!server.ok()) GTEST_SKIP() << "::1 cannot be bound here (IPv6 disabled)";
  EXPECT_TRUE(kApi.probe("::1", server.port(), "t"));
  EXPECT_TRUE(server.requests().at(0).hasHeader("Host: [::1]:" + std::to_string(server.port())));
  EXPECT_EQ(kApi.pair("::1", server.port(), "0042", "c"), PairResult(PairSuccess{"T6", ""}));
  const HttpRequest req = server.requests().at(1);
  EXPECT_TRUE(req.hasHeader("Content-Type: application/json; charset=utf-8") && req.target == "/api/pair") << req.head;
  EXPECT_EQ(nlohmann::json::parse(req.body), (nlohmann::json{{"code", "0042"}, {"client", "c"}}));
}

TEST(ClockApi, PairResponseMapping) {
  const std::string notUtf8 = "\xff\xfe bad \xc3";
  const std::vector<std::tuple<int, std::string, PairResult>> cases = {
      {200, R"({"token":"T1","device":"Desk phone"})", PairSuccess{"T1", "Desk phone"}},
      {200, R"({"token":"T1","device":7})", PairSuccess{"T1", ""}},
      {200, R"({"token":""})", fail(PairError::http(200, R"(missing token: {"token":""})"))},
      {200, R"(["token"])", fail(PairError::http(200, R"(missing token: ["token"])"))},
      {200, notUtf8, fail(PairError::http(200, "missing token: "))},
      {429, R"({"retry_after":30.0})", fail(PairError::locked(30))},
      {429, R"({"retry_after":30.5})", fail(PairError::locked(0))},
      {429, R"({"retry_after":"30"})", fail(PairError::locked(0))},
      {429, R"({"retry_after":1e300})", fail(PairError::locked(0))},
      {403, R"({"token":"T1"})", fail(PairError::invalidCode())},
      {201, "created", fail(PairError::http(201, "created"))},
      {500, notUtf8, fail(PairError::http(500, ""))},
  };
  for (const auto& [status, body, expected] : cases) EXPECT_EQ(mapPairResponse(status, body), expected) << body;
}

TEST(ClockApi, InvalidAddressesAreRefusedBeforeAnyRequest) {
  TestHttpServer server(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"T"})"); });
  ASSERT_TRUE(server.ok());
  const int p = server.port();
  // A blank, a non-literal IPv6, no host, ports out of range, and a path, user info or port smuggled in the host.
  const std::vector<std::pair<std::string, std::int64_t>> bad = {{"a b", 8080},
                                                                 {"::g", 8080},
                                                                 {"", 8080},
                                                                 {"127.0.0.1", 70000},
                                                                 {"127.0.0.1", -1},
                                                                 {"127.0.0.1/evil?x=", p},
                                                                 {"user@127.0.0.1", p},
                                                                 {"127.0.0.1:" + std::to_string(p), p}};
  for (const auto& [host, port] : bad) {
    EXPECT_EQ(kApi.pair(host, port, "1234", "c"),
              PairResult(fail(PairError::transport("invalid device address " + host + ":" + std::to_string(port)))));
    EXPECT_FALSE(kApi.probe(host, port, "t")) << host;
  }
  EXPECT_TRUE(server.requests().empty());
}

// A body exactly at the bound is read whole; one past it ends the exchange (the hostile-phone stress test).
TEST(ClockApi, PairReadsABodyExactlyAtTheBound) {
  const std::string body(ClockAPI::kMaxResponseBytes, 'y');
  TestHttpServer server(false, [&](const HttpRequest&) { return HttpReply::status(500, body); });
  EXPECT_EQ(kApi.pair(kLocal, server.port(), "1234", "c"), PairResult(fail(PairError::http(500, body))));
}

TEST(ClockApi, IgnoresProxiesFromTheEnvironment) {
  TestHttpServer proxy(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"proxy"})"); });
  TestHttpServer device(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"direct"})"); });
  ASSERT_TRUE(proxy.ok() && device.ok());
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
  test::Env env("no_proxy", nullptr);
  env.set("NO_PROXY", nullptr);
  for (const char* var : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) env.set(var, proxyUrl.c_str());
  EXPECT_EQ(kApi.pair(kLocal, device.port(), "1234", "c"), PairResult(PairSuccess{"direct", ""}));
  EXPECT_TRUE(kApi.probe(kLocal, device.port(), "t"));
  EXPECT_TRUE(proxy.requests().empty());
}

}  // namespace
}  // namespace gt

#include "core/pairing/pairing_flow.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "test_http_server.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::HttpReply;
using test::HttpRequest;
using test::TestHttpServer;
using namespace std::chrono_literals;

const ClockAPI kApi(ClockAPI::Timeouts{1500ms, 1500ms});

TEST(PairFailureText, EachFailureHasItsLine) {
  auto text = [](std::optional<PairError> e, std::string other = {}) {
    return pairFailureText(PairFailure{std::move(e), std::move(other)});
  };
  EXPECT_EQ(text(PairError::locked(30)), "配对已锁定，请 30 秒后重试。");
  EXPECT_EQ(text(PairError::locked(-2)), "配对已锁定，请 -2 秒后重试。");
  EXPECT_EQ(text(PairError::locked(1234567)), "配对已锁定，请 1234567 秒后重试。");
  EXPECT_EQ(text(PairError::invalidCode()), "配对码错误，请核对手机屏幕上显示的 4 位数字。");
  EXPECT_EQ(text(PairError::http(500, "secret body")), "配对失败（HTTP 500）。");
  EXPECT_EQ(text(PairError::transport("non-HTTP response")), "无法连接设备：non-HTTP response");
  EXPECT_EQ(text(std::nullopt, "disk full"), "配对失败：disk full");
}

TEST(Iso8601UtcSeconds, WholeSecondsInUtcWithZ) {
  using namespace std::chrono;
  sys_days day = year{2026} / March / 1;
  auto t = day + 9h + 5min + 7s + 999ms;
  EXPECT_EQ(iso8601UtcSeconds(t), "2026-03-01T09:05:07Z");
  EXPECT_EQ(iso8601UtcSeconds(system_clock::time_point{}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(iso8601UtcSeconds(system_clock::time_point{} - 500ms), "1969-12-31T23:59:59Z");
}

TEST(LocalHostName, IsTheKernelsName) {
  char buf[256] = {0};
  ASSERT_EQ(::gethostname(buf, sizeof buf - 1), 0);
  EXPECT_EQ(localHostName(), buf[0] ? std::string(buf) : "localhost");
}

TEST(ProbeState, EmptyTokenIsUnpairedWithoutAnyRequest) {
  TestHttpServer server(false, [](const HttpRequest& r) {
    return HttpReply::status(r.target == "/api/agent?token=good" ? 200 : 401, "");
  });
  ASSERT_TRUE(server.ok());
  ClockConfig cfg{"Stored name", "127.0.0.1", 1, server.port(), "", "2026-03-01T09:05:07Z"};
  EXPECT_EQ(probeState(kApi, std::nullopt), ConnState::unpaired());
  EXPECT_EQ(probeState(kApi, cfg), ConnState::unpaired());
  EXPECT_TRUE(server.requests().empty());

  cfg.token = "good";
  EXPECT_EQ(probeState(kApi, cfg), ConnState::connected("Stored name"));
  EXPECT_EQ(probeState(kApi, cfg).label(), "已连接 Stored name");
  cfg.token = "bad";
  EXPECT_EQ(probeState(kApi, cfg), ConnState::offline());
  EXPECT_EQ(ConnState::offline().label(), "离线 / 不可达");
  EXPECT_EQ(ConnState::unpaired().label(), "未配对");
}

class PairAndStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/gt-pairing-flow-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    ConfigStore::setBaseDir(root_ / ".glowticker");
  }
  void TearDown() override {
    ConfigStore::resetBaseDir();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path root_;
};

TEST_F(PairAndStoreTest, StoresTheCallersNameAndPortsWithTheReturnedToken) {
  TestHttpServer server(false, [](const HttpRequest& r) {
    if (r.method == "GET") return HttpReply::status(r.target == "/api/agent?token=T-9" ? 200 : 401, "");
    return HttpReply::status(200, R"({"token":"T-9","device":"Name the phone reports"})");
  });
  ASSERT_TRUE(server.ok());
  auto before = std::chrono::system_clock::now();
  auto result = pairAndStore(kApi, "127.0.0.1", server.port(), 7001, "My phone", "0042");
  ASSERT_TRUE(std::holds_alternative<ClockConfig>(result));
  const auto& cfg = std::get<ClockConfig>(result);
  EXPECT_EQ(cfg.deviceName, "My phone");
  EXPECT_EQ(cfg.host, "127.0.0.1");
  EXPECT_EQ(cfg.httpPort, server.port());
  EXPECT_EQ(cfg.wsPort, 7001);
  EXPECT_EQ(cfg.token, "T-9");
  EXPECT_TRUE(std::regex_match(cfg.pairedAt, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << cfg.pairedAt;
  EXPECT_GE(cfg.pairedAt, iso8601UtcSeconds(before));
  EXPECT_EQ(ConfigStore::load(), cfg);

  auto body = nlohmann::json::parse(server.requests().at(0).body);
  EXPECT_EQ(body["client"], localHostName());
  EXPECT_EQ(body["code"], "0042");

  auto outcome = loadAndProbe(kApi);
  EXPECT_EQ(outcome.cfg, cfg);
  EXPECT_EQ(outcome.conn, ConnState::connected("My phone"));
}

TEST_F(PairAndStoreTest, FailuresStoreNothing) {
  TestHttpServer server(false, [](const HttpRequest&) { return HttpReply::status(403, ""); });
  ASSERT_TRUE(server.ok());
  auto result = pairAndStore(kApi, "127.0.0.1", server.port(), 1, "n", "9999");
  ASSERT_TRUE(std::holds_alternative<PairFailure>(result));
  EXPECT_EQ(std::get<PairFailure>(result).pairError, PairError::invalidCode());
  EXPECT_FALSE(fs::exists(ConfigStore::configPath()));

  auto bad = pairAndStore(kApi, "127.0.0.1", server.port(), 1, "n", "\xff");
  ASSERT_TRUE(std::holds_alternative<PairFailure>(bad));
  EXPECT_FALSE(std::get<PairFailure>(bad).pairError);
  EXPECT_EQ(pairFailureText(std::get<PairFailure>(bad)).rfind("配对失败：", 0), 0u);
  EXPECT_FALSE(fs::exists(ConfigStore::configPath()));
}

TEST_F(PairAndStoreTest, SaveFailureIsAnOtherError) {
  TestHttpServer server(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"T"})"); });
  ASSERT_TRUE(server.ok());
  std::ofstream(root_ / ".glowticker") << "not a directory";
  auto result = pairAndStore(kApi, "127.0.0.1", server.port(), 1, "n", "1234");
  ASSERT_TRUE(std::holds_alternative<PairFailure>(result));
  const auto& failure = std::get<PairFailure>(result);
  EXPECT_FALSE(failure.pairError);
  const std::string text = pairFailureText(failure);
  EXPECT_EQ(text.rfind("配对失败：", 0), 0u) << text;
  EXPECT_NE(text.find((root_ / ".glowticker").string()), std::string::npos) << text;
}

}  // namespace
}  // namespace gt

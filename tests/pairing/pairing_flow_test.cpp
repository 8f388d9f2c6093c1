#include "core/pairing/pairing_flow.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "support/test_files.h"
#include "support/test_http_server.h"

namespace gt {
namespace {

using test::HttpReply;
using test::HttpRequest;
using test::TestHttpServer;
using namespace std::chrono_literals;

const ClockAPI kApi(ClockAPI::Timeouts{1500ms, 1500ms});

TEST(Iso8601UtcSeconds, WholeSecondsInUtcWithZ) {
  using namespace std::chrono;
  EXPECT_EQ(iso8601UtcSeconds(sys_days{year{2026} / March / 1} + 9h + 5min + 7s + 999ms), "2026-03-01T09:05:07Z");
  EXPECT_EQ(iso8601UtcSeconds(system_clock::time_point{}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(iso8601UtcSeconds(system_clock::time_point{} - 500ms), "1969-12-31T23:59:59Z");
}

// Only the token decides the probe's request; without one nothing is sent.
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
  cfg.token = "bad";
  EXPECT_EQ(probeState(kApi, cfg), ConnState::offline());
}

class PairAndStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ConfigStore::setBaseDir(dir_.path() / ".glowticker");
  }
  void TearDown() override { ConfigStore::resetBaseDir(); }
  test::TempDir dir_;
};

TEST_F(PairAndStoreTest, StoresTheCallersNameAndPortsWithTheReturnedToken) {
  TestHttpServer server(false, [](const HttpRequest& r) {
    if (r.method == "GET") return HttpReply::status(r.target == "/api/agent?token=T-9" ? 200 : 401, "");
    return HttpReply::status(200, R"({"token":"T-9","device":"Name the phone reports"})");
  });
  ASSERT_TRUE(server.ok());
  const std::string before = iso8601UtcSeconds(std::chrono::system_clock::now());
  auto result = pairAndStore(kApi, "127.0.0.1", server.port(), 7001, "My phone", "0042");
  ASSERT_TRUE(std::holds_alternative<ClockConfig>(result));
  const auto& cfg = std::get<ClockConfig>(result);
  EXPECT_EQ(cfg, (ClockConfig{"My phone", "127.0.0.1", 7001, server.port(), "T-9", cfg.pairedAt}));
  EXPECT_GE(cfg.pairedAt, before);
  EXPECT_TRUE(std::regex_match(cfg.pairedAt, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << cfg.pairedAt;
  EXPECT_EQ(ConfigStore::load(), cfg);

  auto body = nlohmann::json::parse(server.requests().at(0).body);
  EXPECT_EQ(body["client"], localHostName());
  EXPECT_EQ(body["code"], "0042");
  auto outcome = loadAndProbe(kApi);
  EXPECT_EQ(outcome.cfg, cfg);
  EXPECT_EQ(outcome.conn, ConnState::connected("My phone"));
}

// A code that cannot be sent as JSON is an other error, not an exception. Wrong codes and unsaved records
// are checked end to end by the CLI test.
TEST_F(PairAndStoreTest, UnsendableCodeIsAnOtherErrorAndStoresNothing) {
  TestHttpServer server(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"T"})"); });
  ASSERT_TRUE(server.ok());
  auto bad = pairAndStore(kApi, "127.0.0.1", server.port(), 1, "n", "\xff");
  ASSERT_TRUE(std::holds_alternative<PairFailure>(bad));
  EXPECT_FALSE(std::get<PairFailure>(bad).pairError);
  EXPECT_EQ(pairFailureText(std::get<PairFailure>(bad)).rfind("配对失败：", 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(ConfigStore::configPath()));
}

}  // namespace
}  // namespace gt

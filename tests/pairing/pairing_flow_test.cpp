#include "core/pairing/pairing_flow.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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

class PairAndStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ConfigStore::setBaseDir(dir_.path() / ".glowticker");
  }
  void TearDown() override { ConfigStore::resetBaseDir(); }
  test::TempDir dir_;
};

// The CLI test shows the stored name, address and ports end to end; here, what it cannot see.
TEST_F(PairAndStoreTest, SendsThisHostsNameAndStampsThePairingTime) {
  TestHttpServer server(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"T-9"})"); });
  const std::string before = iso8601UtcSeconds(std::chrono::system_clock::now());
  auto result = pairAndStore(kApi, "127.0.0.1", server.port(), 7001, "My phone", "0042");
  ASSERT_TRUE(result);
  EXPECT_GE(result->pairedAt, before);
  EXPECT_EQ(ConfigStore::load(), *result);
  EXPECT_EQ(nlohmann::json::parse(server.requests().at(0).body)["client"], localHostName());
}

// A code that cannot be sent as JSON is an other error, not an exception, and nothing is sent.
TEST_F(PairAndStoreTest, UnsendableCodeIsAnOtherErrorAndStoresNothing) {
  TestHttpServer server(false, [](const HttpRequest&) { return HttpReply::status(200, R"({"token":"T"})"); });
  ASSERT_TRUE(server.ok());
  auto bad = pairAndStore(kApi, "127.0.0.1", server.port(), 1, "n", "\xff");
  ASSERT_FALSE(bad);
  EXPECT_FALSE(bad.error().pairError);
  EXPECT_EQ(pairFailureText(bad.error()).rfind("配对失败：", 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(ConfigStore::configPath()));
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace gt

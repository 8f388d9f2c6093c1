#include "core/events/agent_event.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace gt {
namespace {

std::string withTs(const std::string& ts) {
  return R"({"type":"t","agent":"codex","state":"s","title":"T","message":"M","project":"p","ts":)" + ts + "}";
}

TEST(AgentEventTest, DecodesTheHookRecordAndIgnoresExtraKeysAndOrder) {
  auto ev =
      decodeAgentEvent(R"({"type":"sample-type","agent":"claude","state":"sample-state","title":"Build finished",)"
                       R"("message":"All tests passed","project":"demo","ts":1733390000})");
  ASSERT_TRUE(ev);
  EXPECT_EQ(*ev, (AgentEvent{"sample-type", "claude", "sample-state", "Build finished", "All tests passed", "demo",
                             1733390000}));

  auto shuffled = decodeAgentEvent(
      " {\"ts\":-5,\"extra\":{\"agent\":1,\"deep\":[[{}],null]},\"project\":\"\",\"message\":\"\",\"title\":\"\","
      "\"state\":\"\",\"agent\":\"codex\",\"type\":\"\",\"more\":[1,2.5,true]}\r");
  ASSERT_TRUE(shuffled);
  EXPECT_EQ(*shuffled, (AgentEvent{"", "codex", "", "", "", "", -5}));
}

TEST(AgentEventTest, RejectsMissingMisspelledAndMistypedKeys) {
  const std::string good = R"({"type":"t","agent":"a","state":"s","title":"T","message":"M","project":"p","ts":1})";
  ASSERT_TRUE(decodeAgentEvent(good));
  const char* bad[] = {
      R"({"type":"t","agent":"a","state":"s","title":"T","message":"M","ts":1})",                 // no project
      R"({"type":"t","Agent":"a","state":"s","title":"T","message":"M","project":"p","ts":1})",   // case
      R"({"type":"t","agent":null,"state":"s","title":"T","message":"M","project":"p","ts":1})",  // null
      R"({"type":"t","agent":"a","state":5,"title":"T","message":"M","project":"p","ts":1})",     // number
      R"({"type":"t","agent":"a","state":"s","title":true,"message":"M","project":"p","ts":1})",  // bool
      R"({"type":"t","agent":"a","state":"s","title":"T","message":["M"],"project":"p","ts":1})",
      R"({"type":"t","agent":"a","state":"s","title":"T","message":"M","project":{},"ts":1})",
      R"({"type":"t","agent":"a","state":"s","title":"T","message":"M","project":"p","ts":"1"})",
      R"({"type":"t","agent":"a","state":"s","title":"T","message":"M","project":"p","ts":null})",
      R"({"type":"t","agent":"a","state":"s","title":"T","message":"M","project":"p","ts":[1]})",
      R"(["type","agent"])",
      R"("just a string")",
      "",
      "   ",
      "{}",
      R"({"type":"t","agent":"a","state":"s","title":"T","message":"M","project":"p","ts":1} x)",
      R"({"type":"t","agent":"a","state":"s","title":"T","message":"M","project":"p","ts":1)",
  };
  for (const char* text : bad) {
    std::string reason;
    EXPECT_FALSE(decodeAgentEvent(text, &reason)) << text;
    EXPECT_FALSE(reason.empty()) << text;
  }
}

TEST(AgentEventTest, TimestampMustBeAnIntegerWithinSigned64Bits) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> value;
  } cases[] = {
      {"0", 0},
      {"-0", 0},
      {"-5", -5},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"1.0", 1},
      {"1e3", 1000},
      {"12.50e1", 125},
      {"-0.0e5", 0},
      {"9007199254740993.0", 9007199254740993},  // not representable as a double
      {"9223372036854775807.000", std::numeric_limits<std::int64_t>::max()},
      {"1.5", std::nullopt},
      {"1.0000000000000001", std::nullopt},  // rounds to 1.0 as a double
      {"1e-1", std::nullopt},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},  // rounds to -2^63 as a double
      {"18446744073709551616", std::nullopt},
      {"1e19", std::nullopt},
      {"1e999999999", std::nullopt},
  };
  for (const auto& c : cases) {
    auto ev = decodeAgentEvent(withTs(c.text));
    ASSERT_EQ(ev.has_value(), c.value.has_value()) << c.text;
    if (ev) {
      EXPECT_EQ(ev->ts, *c.value) << c.text;
    }
  }
}

TEST(AgentEventTest, EncodesInFieldOrderAndRoundTrips) {
  AgentEvent ev{"stop", "kimi", "done", "Quote \" and \\ and \n", "中文 · ok", "proj", -42};
  std::string text = encodeAgentEvent(ev);
  EXPECT_EQ(text.find("{\"type\":"), 0u);
  EXPECT_LT(text.find("\"agent\""), text.find("\"state\""));
  EXPECT_LT(text.find("\"state\""), text.find("\"title\""));
  EXPECT_LT(text.find("\"title\""), text.find("\"message\""));
  EXPECT_LT(text.find("\"message\""), text.find("\"project\""));
  EXPECT_NE(text.find("\"ts\":-42}"), std::string::npos);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  auto back = decodeAgentEvent(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, ev);
}

}  // namespace
}  // namespace gt

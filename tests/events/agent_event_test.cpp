#include "core/events/agent_event.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace gt {
namespace {

const std::string kGood = R"({"type":"t","agent":"a","state":"s","title":"T","message":"M","project":"p","ts":1})";

// kGood with its first `from` replaced by `to`.
std::string edit(const std::string& from, const std::string& to) {
  std::string s = kGood;
  return s.replace(s.find(from), from.size(), to);
}

// Missing, misspelled or mistyped keys: the decoder's fuzz target replays those refusals (corpus reject-*).
TEST(AgentEventTest, TimestampMustBeAnIntegerWithinSigned64Bits) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max(), kMin = std::numeric_limits<std::int64_t>::min();
  // clang-format off
  const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
      {"-5", -5}, {"12.50e1", 125}, {"9223372036854775807", kMax}, {"-9223372036854775808", kMin},
      {"9007199254740993.0", 9007199254740993},  // not representable as a double
      {"1.0000000000000001", std::nullopt},      // rounds to 1.0 as a double
      {"1.5", std::nullopt}, {"9223372036854775808", std::nullopt}, {"1e999999999", std::nullopt}};
  // clang-format on
  for (const auto& [text, value] : cases) {
    auto ev = decodeAgentEvent(edit(":1}", std::string(":") + text + "}"));
    EXPECT_EQ(ev ? std::optional(ev->ts) : std::nullopt, value) << text;
  }
}

// The round trip and each origin member's bounds are the fuzz target's; here, the record outlives its origin.
TEST(AgentEventTest, ABadOriginIsDroppedNotTheRecord) {
  for (const std::string origin : {"5", "null", "[]", "\"x\"", R"({"pids":[[1]]})", R"({"windowid":{"a":"b"}})"}) {
    EXPECT_EQ(decodeAgentEvent(edit("\"ts\"", "\"origin\":" + origin + ",\"ts\"")),
              (AgentEvent{"t", "a", "s", "T", "M", "p", 1}))
        << origin;
  }
}

}  // namespace
}  // namespace gt

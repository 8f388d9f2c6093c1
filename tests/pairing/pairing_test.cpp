// The pairing record, the store's files and the phone client's rules without a phone (the CLI test has phones).
#include <gtest/gtest.h>

#include "core/pairing/config_store.h"
#include "core/pairing/pairing_flow.h"
#include "support/test_files.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll, test::writeAll;

const ClockConfig kRecord{"Desk phone", "192.168.1.20", 8081, 8080, "tok-1", "2026-03-01T09:05:07Z"};

// What the fuzz target's round trip cannot show: which documents are refused.
TEST(PairingRecord, DecodingIsStrict) {
  auto with = [](const std::string& rest) {
    return R"({"device_name":"D","host":"h","ws_port":1,"token":"t",)" + rest + "}";
  };
  EXPECT_EQ(decodeClockConfig(with(R"("http_port":9223372036854775807,"paired_at":"p","x":[1])")),
            (ClockConfig{"D", "h", 1, INT64_MAX, "t", "p"}));
  for (const std::string bad : {R"("http_port":2)", R"("http_port":"8","paired_at":"p")",
                                R"("http_port":9223372036854775808,"paired_at":"p")"})
    EXPECT_EQ(decodeClockConfig(with(bad)), std::nullopt) << bad;
  EXPECT_EQ(decodeClockConfig("[" + with(R"("http_port":2,"paired_at":"p")") + "]"), std::nullopt);
}

// A failed save keeps the old file and leaves no temporary one; a killed save's (it holds the token) is swept once
// stale. What is no pairing file (far too large, a directory) is never used.
TEST(ConfigStore, KeepsTheOldFileOrTheNewAndNoTokenElsewhere) {
  test::TempDir dir;
  const fs::path base = dir.path() / "nested" / ".glowticker", file = base / "config.json";
  ConfigStore::setBaseDir(base);
  auto onlyTheFile = [&] {
    fs::directory_iterator it(base), end;
    return it != end && it->path() == file && ++it == end;
  };
  ASSERT_TRUE(ConfigStore::save(kRecord));
  const std::string before = readAll(file);
  EXPECT_EQ(ConfigStore::save({"\xff\xfe", "h", 1, 2, "t", "p"}).error(),
            (FileProblem{std::errc::illegal_byte_sequence, file.string()}));
  auto saved = test::withFileSizeLimit(16, [] { return ConfigStore::save(kRecord); });
  EXPECT_EQ(saved.error().kind, std::errc::file_too_large);
  EXPECT_EQ(fs::path(saved.error().detail).parent_path(), base);
  EXPECT_TRUE(readAll(file) == before && onlyTheFile());

  const auto stale = base / ".config-11111111-2222-4333-8444-555555555555.tmp", unrelated = base / "notes.tmp";
  const auto live = base / ".config-AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE.tmp";
  for (const auto& p : {stale, live, unrelated}) writeAll(p, "{\"token\":\"secret\"}");
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(stale, old);
  fs::last_write_time(unrelated, old);
  ASSERT_TRUE(ConfigStore::save(kRecord));
  EXPECT_TRUE(!fs::exists(stale) && fs::exists(live) && fs::exists(unrelated));
  fs::last_write_time(live, old);
  ASSERT_TRUE(ConfigStore::deleteConfig());
  EXPECT_FALSE(fs::exists(live)) << "unpairing leaves no copy of the token behind";

  writeAll(file, encodeClockConfig(kRecord) + std::string(2 << 20, ' '));
  EXPECT_EQ(ConfigStore::load(), std::nullopt);
  fs::remove(file);
  fs::create_directories(file / "inside");
  EXPECT_EQ(ConfigStore::load(), std::nullopt);
  EXPECT_EQ(ConfigStore::save(kRecord).error().detail, file.string());
  EXPECT_TRUE(fs::is_directory(file / "inside"));
  ConfigStore::resetBaseDir();
}

// A path, user info or port smuggled into the host, a bad IPv6 literal, ports out of range: refused unconnected.
TEST(PhoneClient, RefusesAddressesThatNameAnotherUrlAndMapsEdgesOfTheAnswer) {
  const std::pair<std::string, std::int64_t> addresses[] = {
      {"::g", 80},          {"", 80},         {"127.0.0.1/x?y=", 80}, {"user@127.0.0.1", 80}, {"127.0.0.1:80", 80},
      {"127.0.0.1", 70000}, {"127.0.0.1", -1}};
  for (const auto& [host, port] : addresses)
    EXPECT_EQ(ClockAPI().pair(host, port, "1234", "c"),
              PairResult(fail(PairError::transport("invalid device address " + host + ":" + std::to_string(port)))));
  // No token and shown text that is UTF-8 are the fuzz target's.
  const std::tuple<int, std::string, PairResult> rows[] = {
      {429, R"({"retry_after":30.0})", fail(PairError::locked(30))},
      {429, R"({"retry_after":"30"})", fail(PairError::locked(0))},
      {429, R"({"retry_after":1e300})", fail(PairError::locked(0))}};
  for (const auto& [status, body, expected] : rows) EXPECT_EQ(mapPairResponse(status, body), expected) << body;
}

}  // namespace
}  // namespace gt

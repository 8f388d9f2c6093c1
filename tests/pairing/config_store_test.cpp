#include "core/pairing/config_store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>

#include "support/test_files.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll;
using test::writeAll;

const ClockConfig kFirst{"Desk phone", "192.168.1.20", 8081, 8080, "tok-1", "2026-03-01T09:05:07Z"};
const ClockConfig kSecond{"Pocket \"phone\" 手机", "fe80::1", 9001, 9000, "tok-2", "2026-03-02T10:00:00Z"};

std::vector<std::string> namesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}
const std::vector<std::string> kOnlyConfig{"config.json"};

class ConfigStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ConfigStore::setBaseDir(base_);
  }
  void TearDown() override { ConfigStore::resetBaseDir(); }
  test::TempDir dir_;
  const fs::path base_ = dir_.path() / "nested" / ".glowticker", file_ = base_ / "config.json";
};

// What the fuzz target's round trip cannot show: which documents are refused.
TEST(ClockConfigCoding, DecodingIsStrict) {
  const std::string good =
      R"({"device_name":"D","host":"h","ws_port":1,"http_port":2,"token":"t","paired_at":"2026-03-01T09:05:07Z")";
  EXPECT_EQ(decodeClockConfig(good + R"(,"extra":[1]})"), (ClockConfig{"D", "h", 1, 2, "t", "2026-03-01T09:05:07Z"}));
  for (const char* bad : {
           R"({"device_name":"D","host":"h","ws_port":1,"http_port":2,"token":"t"})",
           R"({"device_name":"D","host":"h","ws_port":1,"http_port":"8080","token":"t","paired_at":"p"})",
           R"({"device_name":"D","host":"h","ws_port":1,"http_port":8080.0,"token":"t","paired_at":"p"})",
           R"({"device_name":"D","host":"h","ws_port":1,"http_port":9223372036854775808,"token":"t","paired_at":"p"})",
           R"({"device_name":"D","host":"h","ws_port":1,"http_port":2,"token":7,"paired_at":"p"})",
           R"([{"device_name":"D","host":"h","ws_port":1,"http_port":2,"token":"t","paired_at":"p"}])",
       }) {
    EXPECT_EQ(decodeClockConfig(bad), std::nullopt) << bad;
  }
  EXPECT_TRUE(decodeClockConfig(
      R"({"device_name":"D","host":"h","ws_port":1,"http_port":9223372036854775807,"token":"t","paired_at":"p"})"));
}

TEST_F(ConfigStoreTest, TemporariesLeftByAKilledSaveAreSweptButALiveOneIsKept) {
  const auto stale = base_ / ".config-11111111-2222-4333-8444-555555555555.tmp";
  const auto live = base_ / ".config-AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE.tmp";
  const auto unrelated = base_ / "notes.tmp";
  for (const auto& p : {stale, live, unrelated}) writeAll(p, "{\"token\":\"secret\"}");
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(stale, old);
  fs::last_write_time(unrelated, old);

  ASSERT_TRUE(ConfigStore::save(kFirst));
  EXPECT_FALSE(fs::exists(stale)) << "an abandoned copy of the token is removed";
  EXPECT_TRUE(fs::exists(live)) << "a save still running elsewhere keeps its file";
  EXPECT_TRUE(fs::exists(unrelated));
  fs::last_write_time(live, old);
  ASSERT_TRUE(ConfigStore::deleteConfig());
  EXPECT_FALSE(fs::exists(live)) << "unpairing leaves no copy of the token behind";
}

// An interrupted save reports its error and leaves the old file exactly as it was, with no temporary file.
TEST_F(ConfigStoreTest, FailedSavesKeepTheOldFile) {
  ASSERT_TRUE(ConfigStore::save(kFirst));
  const std::string before = readAll(file_);
  ClockConfig bad = kSecond;
  bad.deviceName = "\xff\xfe";
  EXPECT_EQ(ConfigStore::save(bad).error().kind, std::errc::illegal_byte_sequence);
  EXPECT_EQ(readAll(file_), before);
  EXPECT_EQ(namesIn(base_), kOnlyConfig);

  // A file size limit makes the write of the temporary file fail (EFBIG), root or not.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tiny{16, old.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  auto saved = ConfigStore::save(kSecond);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(saved.error().kind, std::errc::file_too_large);
  EXPECT_EQ(fs::path(saved.error().detail).parent_path(), base_);
  EXPECT_EQ(readAll(file_), before);
  EXPECT_EQ(namesIn(base_), kOnlyConfig);
}

TEST_F(ConfigStoreTest, UnreadableFilesLoadAsAbsentAndFailedSavesNameThePath) {
  writeAll(file_, encodeClockConfig(kFirst) + std::string(2 * 1024 * 1024, ' '));
  EXPECT_EQ(ConfigStore::load(), std::nullopt) << "far larger than any pairing file";
  fs::remove(file_);
  fs::create_directory(file_);
  EXPECT_EQ(ConfigStore::load(), std::nullopt) << "a directory in the file's place";
  fs::create_directories(file_ / "inside");
  EXPECT_EQ(ConfigStore::save(kFirst).error().detail, file_.string());
  EXPECT_TRUE(fs::is_directory(file_ / "inside"));
  EXPECT_EQ(namesIn(base_), kOnlyConfig);

  // A base directory planted as a link to a folder someone else may read is refused.
  fs::remove_all(base_);
  fs::create_directories(dir_.path() / "elsewhere");
  fs::create_directory_symlink(dir_.path() / "elsewhere", base_);
  EXPECT_EQ(ConfigStore::save(kFirst).error().kind, std::errc::not_a_directory);
  EXPECT_TRUE(fs::is_empty(dir_.path() / "elsewhere"));

  fs::remove(base_);
  writeAll(base_, "a file where the directory should be");
  EXPECT_EQ(ConfigStore::save(kFirst).error(), (FileProblem{std::errc::not_a_directory, base_.string()}));
  EXPECT_EQ(readAll(base_), "a file where the directory should be");
}

}  // namespace
}  // namespace gt

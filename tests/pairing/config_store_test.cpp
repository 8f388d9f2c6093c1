#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "core/pairing/clock_config.h"

namespace gt {
namespace {

namespace fs = std::filesystem;

const ClockConfig kFirst{"Desk phone", "192.168.1.20", 8081, 8080, "tok-1", "2026-03-01T09:05:07Z"};
const ClockConfig kSecond{"Pocket \"phone\" 手机", "fe80::1", 9001, 9000, "tok-2", "2026-03-02T10:00:00Z"};

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

unsigned modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

std::vector<std::string> namesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class ConfigStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/gt-pairing-store-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    base_ = root_ / "nested" / ".glowticker";
    ConfigStore::setBaseDir(base_);
  }
  void TearDown() override {
    ConfigStore::resetBaseDir();
    std::error_code ec;
    fs::permissions(base_, fs::perms::owner_all, ec);
    fs::remove_all(root_, ec);
  }
  fs::path root_, base_;
};

TEST(ClockConfigCoding, PrettyInKeyOrderAndRoundTrips) {
  const std::string text = encodeClockConfig(kSecond);
  std::size_t last = 0;
  for (const char* key :
       {"\"device_name\"", "\"host\"", "\"ws_port\"", "\"http_port\"", "\"token\"", "\"paired_at\""}) {
    std::size_t at = text.find(key);
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_GT(at, last) << key << " out of order in\n" << text;
    last = at;
  }
  EXPECT_GE(std::count(text.begin(), text.end(), '\n'), 7) << "one member per line";
  EXPECT_NE(text.find("\"ws_port\": 9001"), std::string::npos) << "ports are JSON integers";
  EXPECT_EQ(decodeClockConfig(text), kSecond);
}

TEST(ClockConfigCoding, DecodingIsStrict) {
  const std::string good =
      R"({"device_name":"D","host":"h","ws_port":1,"http_port":2,"token":"t","paired_at":"2026-03-01T09:05:07Z")";
  EXPECT_EQ(decodeClockConfig(good + "}"), (ClockConfig{"D", "h", 1, 2, "t", "2026-03-01T09:05:07Z"}));
  EXPECT_TRUE(decodeClockConfig(good + R"(,"extra":[1,2,{}]})")) << "extra keys are ignored";
  EXPECT_TRUE(
      decodeClockConfig(R"({"paired_at":"p","token":"","http_port":0,"ws_port":-3,"host":"","device_name":""})"))
      << "key order and empty values do not matter";

  for (const char* bad : {
           R"({"device_name":"D","host":"h","ws_port":1,"http_port":2,"token":"t"})",
           R"({"device_name":"D","host":"h","ws_port":1,"http_port":"8080","token":"t","paired_at":"p"})",
           R"({"device_name":"D","host":"h","ws_port":1,"http_port":8080.0,"token":"t","paired_at":"p"})",
           R"({"device_name":"D","host":"h","ws_port":1,"http_port":18446744073709551615,"token":"t","paired_at":"p"})",
           R"({"device_name":"D","host":"h","ws_port":1,"http_port":2,"token":7,"paired_at":"p"})",
           R"({"device_name":null,"host":"h","ws_port":1,"http_port":2,"token":"t","paired_at":"p"})",
           R"([{"device_name":"D","host":"h","ws_port":1,"http_port":2,"token":"t","paired_at":"p"}])",
           R"({"device_name":"D","host":"h","ws_port":1,"http_port":2,"token":"t","paired_at":"p")",
           "",
           "null",
           "\xff\xfe",
       }) {
    EXPECT_EQ(decodeClockConfig(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(decodeClockConfig("{\"device_name\":\"\xff\",\"host\":\"h\",\"ws_port\":1,\"http_port\":2,\"token\":\"t\","
                              "\"paired_at\":\"p\"}"),
            std::nullopt)
      << "not UTF-8";
}

TEST_F(ConfigStoreTest, SaveCreatesPrivateDirectoryAndFileAndLoadsBack) {
  EXPECT_EQ(ConfigStore::load(), std::nullopt);
  ASSERT_FALSE(ConfigStore::save(kFirst));
  EXPECT_EQ(modeOf(base_), 0700u);
  EXPECT_EQ(modeOf(base_ / "config.json"), 0600u);
  EXPECT_EQ(ConfigStore::configPath(), base_ / "config.json");
  EXPECT_EQ(ConfigStore::load(), kFirst);
  EXPECT_EQ(readFile(base_ / "config.json"), encodeClockConfig(kFirst));
}

TEST_F(ConfigStoreTest, SaveTightensAnExistingDirectoryAndReplacesTheFile) {
  fs::create_directories(base_);
  fs::permissions(base_, fs::perms(0755));
  ASSERT_FALSE(ConfigStore::save(kFirst));
  EXPECT_EQ(modeOf(base_), 0700u);
  // A file that was readable by others before is private after the next save.
  fs::permissions(base_ / "config.json", fs::perms(0644));
  ASSERT_FALSE(ConfigStore::save(kSecond));
  EXPECT_EQ(ConfigStore::load(), kSecond);
  EXPECT_EQ(modeOf(base_ / "config.json"), 0600u);
  EXPECT_EQ(namesIn(base_), std::vector<std::string>{"config.json"}) << "no temporary file left behind";
}

TEST_F(ConfigStoreTest, TemporaryFileHasAnUpperCaseRandomUuidName) {
  fs::create_directories(base_);
  int in = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(in, 0);
  ASSERT_GE(::inotify_add_watch(in, base_.c_str(), IN_CREATE | IN_MOVED_FROM), 0);
  ASSERT_FALSE(ConfigStore::save(kFirst));
  ASSERT_FALSE(ConfigStore::save(kSecond));
  alignas(inotify_event) char buf[4096];
  ssize_t n = ::read(in, buf, sizeof buf);
  ::close(in);
  ASSERT_GT(n, 0);
  std::vector<std::string> created;
  for (char* p = buf; p < buf + n;) {
    auto* ev = reinterpret_cast<inotify_event*>(p);
    if ((ev->mask & IN_CREATE) && ev->len) created.emplace_back(ev->name);
    p += sizeof(inotify_event) + ev->len;
  }
  ASSERT_EQ(created.size(), 2u);
  const std::regex pattern(R"(\.config-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\.tmp)");
  for (const auto& name : created) EXPECT_TRUE(std::regex_match(name, pattern)) << name;
  EXPECT_NE(created[0], created[1]);
}

TEST_F(ConfigStoreTest, TemporariesLeftByAKilledSaveAreSweptButALiveOneIsKept) {
  fs::create_directories(base_);
  const auto stale = base_ / ".config-11111111-2222-4333-8444-555555555555.tmp";
  const auto live = base_ / ".config-AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE.tmp";
  const auto unrelated = base_ / "notes.tmp";
  for (const auto& p : {stale, live, unrelated}) std::ofstream(p) << "{\"token\":\"secret\"}";
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(stale, old);
  fs::last_write_time(unrelated, old);

  ASSERT_FALSE(ConfigStore::save(kFirst));
  EXPECT_FALSE(fs::exists(stale)) << "an abandoned copy of the token is removed";
  EXPECT_TRUE(fs::exists(live)) << "a save still running elsewhere keeps its file";
  EXPECT_TRUE(fs::exists(unrelated));

  fs::last_write_time(live, old);
  ASSERT_FALSE(ConfigStore::deleteConfig());
  EXPECT_FALSE(fs::exists(live)) << "unpairing leaves no copy of the token behind";
}

TEST_F(ConfigStoreTest, DeleteFailsWhenThereIsNothingToDelete) {
  EXPECT_EQ(ConfigStore::deleteConfig(), std::errc::no_such_file_or_directory);
  EXPECT_EQ(ConfigStore::load(), std::nullopt);
  ASSERT_FALSE(ConfigStore::save(kFirst));
  EXPECT_FALSE(ConfigStore::deleteConfig());
  EXPECT_FALSE(fs::exists(base_ / "config.json"));
  EXPECT_EQ(ConfigStore::deleteConfig(), std::errc::no_such_file_or_directory);
  EXPECT_EQ(ConfigStore::load(), std::nullopt);
}

TEST_F(ConfigStoreTest, UnreadableFilesLoadAsAbsent) {
  fs::create_directories(base_);
  writeFile(base_ / "config.json",
            R"({"device_name":"D","host":"h","ws_port":1,"http_port":"8080","token":"t","paired_at":"p"})");
  EXPECT_EQ(ConfigStore::load(), std::nullopt);
  fs::remove(base_ / "config.json");
  fs::create_directory(base_ / "config.json");
  EXPECT_EQ(ConfigStore::load(), std::nullopt) << "a directory in the file's place";
  fs::remove(base_ / "config.json");
  writeFile(base_ / "config.json", encodeClockConfig(kFirst) + std::string(2 * 1024 * 1024, ' '));
  EXPECT_EQ(ConfigStore::load(), std::nullopt) << "far larger than any pairing file";
}

// Each interrupted save reports its error and leaves the old pairing file exactly as it was, with no
// temporary file left behind.
TEST_F(ConfigStoreTest, EncodingFailureKeepsTheOldFile) {
  ASSERT_FALSE(ConfigStore::save(kFirst));
  const std::string before = readFile(base_ / "config.json");
  ClockConfig bad = kSecond;
  bad.deviceName = "\xff\xfe";
  EXPECT_EQ(ConfigStore::save(bad), std::errc::illegal_byte_sequence);
  EXPECT_EQ(readFile(base_ / "config.json"), before);
  EXPECT_EQ(namesIn(base_), std::vector<std::string>{"config.json"});
}

TEST_F(ConfigStoreTest, WriteFailureKeepsTheOldFile) {
  ASSERT_FALSE(ConfigStore::save(kFirst));
  const std::string before = readFile(base_ / "config.json");
  // A file size limit makes the write of the temporary file fail (EFBIG), root or not.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tiny = old;
  tiny.rlim_cur = 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  fs::path where;
  std::error_code ec = ConfigStore::save(kSecond, &where);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(ec, std::errc::file_too_large);
  EXPECT_EQ(where.parent_path(), base_);
  EXPECT_EQ(readFile(base_ / "config.json"), before);
  EXPECT_EQ(namesIn(base_), std::vector<std::string>{"config.json"});
}

TEST_F(ConfigStoreTest, RenameFailureKeepsWhatWasThere) {
  fs::create_directories(base_ / "config.json" / "inside");
  fs::path where;
  EXPECT_TRUE(ConfigStore::save(kFirst, &where));
  EXPECT_EQ(where, base_ / "config.json");
  EXPECT_TRUE(fs::is_directory(base_ / "config.json" / "inside"));
  EXPECT_EQ(namesIn(base_), std::vector<std::string>{"config.json"});
}

TEST_F(ConfigStoreTest, DirectoryFailureIsReported) {
  fs::create_directories(base_.parent_path());
  writeFile(base_, "a file where the directory should be");
  fs::path where;
  EXPECT_EQ(ConfigStore::save(kFirst, &where), std::errc::not_a_directory);
  EXPECT_EQ(where, base_);
  EXPECT_EQ(readFile(base_), "a file where the directory should be");
}

TEST_F(ConfigStoreTest, BaseDirDefaultsToHomeAndIsSafeToChangeFromManyThreads) {
  const char* oldHome = std::getenv("HOME");
  const std::string saved = oldHome ? oldHome : "";
  ::setenv("HOME", root_.c_str(), 1);
  ConfigStore::resetBaseDir();
  EXPECT_EQ(ConfigStore::baseDir(), root_ / ".glowticker");
  EXPECT_EQ(ConfigStore::configPath(), root_ / ".glowticker" / "config.json");

  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 200; ++k) {
        if (i % 2)
          ConfigStore::setBaseDir(root_ / ("d" + std::to_string(k)));
        else
          EXPECT_FALSE(ConfigStore::baseDir().empty());
      }
    });
  }
  for (auto& t : threads) t.join();
  ConfigStore::setBaseDir(base_);
  EXPECT_EQ(ConfigStore::baseDir(), base_);
  if (oldHome)
    ::setenv("HOME", saved.c_str(), 1);
  else
    ::unsetenv("HOME");
}

}  // namespace
}  // namespace gt

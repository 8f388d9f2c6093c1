#include "core/events/notifier.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "platform/system_log.h"

namespace gt {
namespace {

class FakeCenter : public NotificationCenter {
 public:
  AuthorizationStatus status = AuthorizationStatus::authorized;
  AuthorizationAnswer answer{true, std::nullopt};
  std::optional<std::string> addError;
  std::vector<NotificationRequest> added;

  AuthorizationStatus authorizationStatus() override { return status; }
  AuthorizationAnswer requestAuthorization() override { return answer; }
  std::optional<std::string> add(const NotificationRequest& r) override {
    added.push_back(r);
    return addError;
  }
};

// Entries as "level text"; every one must come from the notifier category of our subsystem.
class FakeLog : public Log {
 public:
  std::vector<std::string> entries;
  void error(std::string_view s, std::string_view c, std::string_view t) override { add("error ", s, c, t); }
  void info(std::string_view s, std::string_view c, std::string_view t) override { add("info ", s, c, t); }

 private:
  void add(std::string level, std::string_view s, std::string_view c, std::string_view t) {
    EXPECT_EQ(s, kLogSubsystem);
    EXPECT_EQ(c, "notifier");
    entries.push_back(level.append(t));
  }
};

using Entries = std::vector<std::string>;

class NotifierTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeCenter> center = std::make_shared<FakeCenter>();
  std::shared_ptr<FakeLog> log = std::make_shared<FakeLog>();
  Notifier notifier{center, log};
  AgentEvent event{"stop", "claude", "idle", "Build finished", "All tests passed", "demo", 1733390000};
};

TEST_F(NotifierTest, PostsUnderAuthorizedAndProvisionalOnly) {
  for (int s = 0; s <= 4; ++s) {
    center->status = static_cast<AuthorizationStatus>(s);
    center->added.clear();
    log->entries.clear();
    notifier.notify(event);
    if (s == 2 || s == 3) {
      ASSERT_EQ(center->added.size(), 1u) << s;
      EXPECT_EQ(center->added[0].identifier, "glowticker-1733390000-claude");
      EXPECT_EQ(center->added[0].title, "claude \u00B7 Build finished");
      EXPECT_EQ(center->added[0].body, "All tests passed");
      EXPECT_TRUE(log->entries.empty());
    } else {
      EXPECT_TRUE(center->added.empty()) << s;
      EXPECT_EQ(log->entries, Entries{"error notify skipped (status=" + std::to_string(s) +
                                      "): Build finished. Enable in System Settings > Notifications > Glowticker"});
    }
  }
  center->status = AuthorizationStatus::authorized;
  center->addError = "the service went away";
  notifier.notify(event);
  EXPECT_EQ(log->entries.back(), "error notify add failed: the service went away");
}

TEST_F(NotifierTest, IdentifiersAndTitles) {
  EXPECT_EQ(Notifier::identifierFor(AgentEvent{"", "codex", "", "", "", "", -5}), "glowticker--5-codex");
  EXPECT_EQ(Notifier::titleFor(AgentEvent{"", "codex", "", "", "", "", -5}), "codex \u00B7 ");
  EXPECT_EQ(Notifier::identifierFor(AgentEvent{"", "a", "", "", "", "", INT64_MIN}),
            "glowticker--9223372036854775808-a");
}

TEST_F(NotifierTest, RequestPermissionLogsTheAnswerThenChecksTheStatus) {
  const std::string dropped =
      "; notifications will be silently dropped. Enable in System Settings > Notifications > Glowticker";
  auto check = [&](AuthorizationAnswer answer, AuthorizationStatus status, const Entries& expected) {
    center->answer = std::move(answer);
    center->status = status;
    log->entries.clear();
    notifier.requestPermission();
    EXPECT_EQ(log->entries, expected);
  };
  check({true, std::nullopt}, AuthorizationStatus::authorized, {"info requestAuthorization granted=true"});
  // notify posts under provisional, but this check accepts authorized only
  check({true, std::nullopt}, AuthorizationStatus::provisional,
        {"info requestAuthorization granted=true", "error notification authorizationStatus=3" + dropped});
  check({false, std::nullopt}, AuthorizationStatus::denied,
        {"info requestAuthorization granted=false", "error notification authorizationStatus=1" + dropped});
  check({false, "no session bus"}, AuthorizationStatus::notDetermined,
        {"error requestAuthorization failed: no session bus", "error notification authorizationStatus=0" + dropped});
  EXPECT_TRUE(center->added.empty());
}

TEST(SystemLogTest, WithoutAJournalEachEntryIsOneStderrLine) {
  if (::access("/run/systemd/journal/socket", F_OK) == 0) GTEST_SKIP() << "entries go to the systemd journal here";
  auto log = makeSystemLog();
  testing::internal::CaptureStderr();
  log->error(kLogSubsystem, "notifier", "notify add failed: two\nlines");
  log->info(kLogSubsystem, "notifier", "requestAuthorization granted=true");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "glowticker error [io.glowticker.desktop/notifier] notify add failed: two lines\n"
            "glowticker info [io.glowticker.desktop/notifier] requestAuthorization granted=true\n");
}

}  // namespace
}  // namespace gt

#include "core/events/notifier.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

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

struct Entry {
  std::string level, subsystem, category, text;
  bool operator==(const Entry&) const = default;
};

class FakeLog : public Log {
 public:
  std::vector<Entry> entries;
  void error(std::string_view s, std::string_view c, std::string_view t) override {
    entries.push_back({"error", std::string(s), std::string(c), std::string(t)});
  }
  void info(std::string_view s, std::string_view c, std::string_view t) override {
    entries.push_back({"info", std::string(s), std::string(c), std::string(t)});
  }
};

Entry err(std::string text) { return {"error", std::string(kLogSubsystem), "notifier", std::move(text)}; }
Entry info(std::string text) { return {"info", std::string(kLogSubsystem), "notifier", std::move(text)}; }

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
      EXPECT_EQ(log->entries, std::vector<Entry>{err("notify skipped (status=" + std::to_string(s) +
                                                     "): Build finished. Enable in System Settings > "
                                                     "Notifications > Glowticker")});
    }
  }
}

TEST_F(NotifierTest, IdentifiersAndTitles) {
  AgentEvent negative{"", "codex", "", "", "", "", -5};
  EXPECT_EQ(Notifier::identifierFor(negative), "glowticker--5-codex");
  EXPECT_EQ(Notifier::titleFor(negative), "codex \u00B7 ");
  EXPECT_EQ(Notifier::identifierFor(AgentEvent{"", "kimi", "", "", "", "", 0}), "glowticker-0-kimi");
  EXPECT_EQ(Notifier::identifierFor(AgentEvent{"", "a", "", "", "", "", INT64_MIN}),
            "glowticker--9223372036854775808-a");

  // Equal ts and agent give one identifier, so the centre replaces the first notification.
  AgentEvent second = event;
  second.message = "again";
  notifier.notify(event);
  notifier.notify(second);
  ASSERT_EQ(center->added.size(), 2u);
  EXPECT_EQ(center->added[0].identifier, center->added[1].identifier);
}

TEST_F(NotifierTest, AddFailureIsLogged) {
  center->addError = "the service went away";
  notifier.notify(event);
  EXPECT_EQ(log->entries, std::vector<Entry>{err("notify add failed: the service went away")});
}

TEST_F(NotifierTest, RequestPermissionLogsAnswerThenChecksStatus) {
  center->answer = {true, std::nullopt};
  center->status = AuthorizationStatus::authorized;
  notifier.requestPermission();
  EXPECT_EQ(log->entries, std::vector<Entry>{info("requestAuthorization granted=true")});

  const std::string dropped =
      "; notifications will be silently dropped. Enable in System Settings > Notifications > Glowticker";
  log->entries.clear();
  center->status = AuthorizationStatus::provisional;  // notify posts, but this check accepts 2 only
  notifier.requestPermission();
  EXPECT_EQ(log->entries, (std::vector<Entry>{info("requestAuthorization granted=true"),
                                              err("notification authorizationStatus=3" + dropped)}));

  log->entries.clear();
  center->answer = {false, std::nullopt};
  center->status = AuthorizationStatus::denied;
  notifier.requestPermission();
  EXPECT_EQ(log->entries, (std::vector<Entry>{info("requestAuthorization granted=false"),
                                              err("notification authorizationStatus=1" + dropped)}));

  log->entries.clear();
  center->answer = {false, std::string("no session bus")};
  center->status = AuthorizationStatus::notDetermined;
  notifier.requestPermission();
  EXPECT_EQ(log->entries, (std::vector<Entry>{err("requestAuthorization failed: no session bus"),
                                              err("notification authorizationStatus=0" + dropped)}));
  EXPECT_TRUE(center->added.empty());
}

}  // namespace
}  // namespace gt

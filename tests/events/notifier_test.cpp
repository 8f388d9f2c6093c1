#include "core/events/notifier.h"

#include <gtest/gtest.h>
#include <vector>

namespace gt {
namespace {

struct FakeCenter : NotificationCenter {
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

struct FakeLog : Log {
  std::vector<std::string> entries;
  void error(std::string_view, std::string_view, std::string_view t) override { entries.emplace_back("error ").append(t); }
  void info(std::string_view, std::string_view, std::string_view t) override { entries.emplace_back("info ").append(t); }
};

// Posts under authorized and provisional only; the permission check accepts authorized only.
TEST(NotifierTest, PostsWhenAllowedAndLogsEveryOtherOutcome) {
  auto center = std::make_shared<FakeCenter>();
  auto log = std::make_shared<FakeLog>();
  Notifier notifier(center, log);
  for (int s = 0; s <= 4; ++s) {
    center->status = static_cast<AuthorizationStatus>(s);
    notifier.notify({"stop", "claude", "idle", "Build finished", "All tests passed", "demo", -5});
  }
  ASSERT_EQ(center->added.size(), 2u);
  EXPECT_EQ(std::tie(center->added[0].identifier, center->added[0].title, center->added[0].body),
            std::tuple("glowticker--5-claude", "claude \u00B7 Build finished", "All tests passed"));
  ASSERT_EQ(log->entries.size(), 3u);
  EXPECT_TRUE(log->entries[2].starts_with("error notify skipped (status=4)")) << log->entries[2];
  center->status = AuthorizationStatus::authorized;
  center->addError = "gone";
  notifier.notify({"", "codex", "", "", "", "", 0});
  EXPECT_EQ(center->added.back().title, "codex \u00B7 ");
  EXPECT_EQ(log->entries.back(), "error notify add failed: gone");

  log->entries.clear();
  center->answer = {false, "no session bus"};
  center->status = AuthorizationStatus::provisional;
  notifier.requestPermission();
  center->answer = {true, std::nullopt};
  center->status = AuthorizationStatus::authorized;
  notifier.requestPermission();
  ASSERT_EQ(log->entries.size(), 3u);
  EXPECT_EQ(log->entries[0], "error requestAuthorization failed: no session bus");
  EXPECT_TRUE(log->entries[1].starts_with("error notification authorizationStatus=3")) << log->entries[1];
  EXPECT_EQ(log->entries[2], "info requestAuthorization granted=true");
}

}  // namespace
}  // namespace gt

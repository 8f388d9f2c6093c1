#include "core/events/notifier.h"

#include <gtest/gtest.h>

#include "support/event_support.h"

namespace gt {
namespace {

struct FakeCenter : NotificationCenter {
  std::optional<std::string> missing, addError;
  std::vector<NotificationRequest> added;
  NotifyResult checkService() override { return missing ? fail(NotifyProblem::noService, *missing) : NotifyResult(); }
  NotifyResult add(const NotificationRequest& r) override {
    added.push_back(r);
    return addError ? fail(NotifyProblem::refused, *addError) : NotifyResult();
  }
};

// Posts only when a service is there, texts cut at a whole character (clusters too); other outcomes logged.
TEST(NotifierTest, PostsCutTextsWhenAServiceIsThereAndLogsEveryOtherOutcome) {
  const std::string as(Notifier::kMaxBody - 10, 'a'), family = "\U0001F469\u200D\U0001F469\u200D\U0001F467";
  EXPECT_EQ(cutText(as + family + "tail", Notifier::kMaxBody), as + "\u2026");
  EXPECT_EQ(cutText("完完完完", 10), "完完\u2026");
  EXPECT_EQ(cutText("e\u0301e\u0301x", 6), "e\u0301\u2026");
  auto center = std::make_shared<FakeCenter>();
  auto log = std::make_shared<test::MemoryLog>();
  Notifier notifier(center, log);
  notifier.notify({"stop", "claude", "idle", std::string(4000, 't'), std::string(1 << 20, 'm'), "demo", -5});
  center->missing = "no bus";
  notifier.notify({"stop", "claude", "idle", "Lost", "m", "demo", 6});
  ASSERT_EQ(center->added.size(), 1u);
  EXPECT_EQ(std::tie(center->added[0].identifier, center->added[0].title, center->added[0].body),
            std::tuple("glowticker--5-claude", "claude \u00B7 " + std::string(Notifier::kMaxTitle - 3, 't') + "\u2026",
                       std::string(Notifier::kMaxBody - 3, 'm') + "\u2026"));
  EXPECT_EQ(log->count("no bus"), 1u);
  center->missing.reset();
  center->addError = "gone";
  notifier.notify({"", "codex", "", "", "", "", 0});
  EXPECT_EQ(log->count("gone"), 1u);
  center->missing = "no service";
  notifier.requestPermission();  // says that notifications will not show
  EXPECT_EQ(log->count("no service"), 1u);
}

}  // namespace
}  // namespace gt

#include "platform/system_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace gt {
namespace {

TEST(SystemLogTest, WithoutAJournalEachEntryIsOneStderrLine) {
  if (::access("/run/systemd/journal/socket", F_OK) == 0)
    GTEST_SKIP() << "a systemd journal is running here; entries go there instead of standard error";
  auto log = makeSystemLog();
  testing::internal::CaptureStderr();
  log->error(kLogSubsystem, "notifier", "notify add failed: two\nlines");
  log->info(kLogSubsystem, "notifier", "requestAuthorization granted=true");
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out,
            "glowticker error [io.glowticker.desktop/notifier] notify add failed: two lines\n"
            "glowticker info [io.glowticker.desktop/notifier] requestAuthorization granted=true\n");
}

}  // namespace
}  // namespace gt

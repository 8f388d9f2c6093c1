#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/hooks/hook_installer.h"
#include "test_support.h"

namespace gt {
namespace {

using test::TempDir;
using test::writeFile;

TEST(HookState, ConfigPaths) {
  EXPECT_EQ(HookState::configPath(AgentID::codex, "/h"), "/h/.codex/config.toml");
  EXPECT_EQ(HookState::configPath(AgentID::claude, "/h"), "/h/.claude/settings.json");
  EXPECT_EQ(HookState::configPath(AgentID::kimi, "/h"), "/h/.kimi-code/config.toml");
}

TEST(HookState, MarkerInFileContents) {
  TempDir home;
  auto path = HookState::configPath(AgentID::codex, home.path());
  EXPECT_FALSE(HookState::isInstalled(AgentID::codex, home.path()));  // missing
  writeFile(path, "");
  EXPECT_FALSE(HookState::isInstalled(AgentID::codex, home.path()));
  writeFile(path, "# Glowticker GLOWTICKER\n");
  EXPECT_FALSE(HookState::isInstalled(AgentID::codex, home.path()));
  writeFile(path, "# see myglowtickers.txt\n");
  EXPECT_TRUE(HookState::isInstalled(AgentID::codex, home.path()));
  writeFile(path, "notify = [\"/x/glowticker-hook\"]\n\xc3\x28\n");
  EXPECT_FALSE(HookState::isInstalled(AgentID::codex, home.path()));  // invalid UTF-8
  writeFile(path, "x = \"\xed\xa0\x80 glowticker\"\n");               // an encoded surrogate is not UTF-8
  EXPECT_FALSE(HookState::isInstalled(AgentID::codex, home.path()));
  writeFile(path, "x = \"日本 glowticker\"\n");
  EXPECT_TRUE(HookState::isInstalled(AgentID::codex, home.path()));
  EXPECT_FALSE(HookState::isInstalled(AgentID::claude, home.path()));  // each agent has its own file
}

TEST(HookState, UnreadableThingsAreNotInstalled) {
  TempDir home;
  std::filesystem::create_directories(HookState::configPath(AgentID::claude, home.path()));  // a folder
  EXPECT_FALSE(HookState::isInstalled(AgentID::claude, home.path()));

  auto kimi = HookState::configPath(AgentID::kimi, home.path());
  std::filesystem::create_directories(kimi.parent_path());
  ASSERT_EQ(::mkfifo(kimi.c_str(), 0600), 0);  // must not block waiting for a writer
  EXPECT_FALSE(HookState::isInstalled(AgentID::kimi, home.path()));

  auto codex = HookState::configPath(AgentID::codex, home.path());
  writeFile(codex, "glowticker", 0000);
  if (::geteuid() != 0) {  // root reads it anyway
    EXPECT_FALSE(HookState::isInstalled(AgentID::codex, home.path()));
  }
}

}  // namespace
}  // namespace gt

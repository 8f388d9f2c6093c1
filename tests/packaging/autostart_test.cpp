#include "core/common/autostart.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/test_files.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll, test::writeAll;
using Opt = std::optional<fs::path>;

std::size_t entriesIn(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    setEnv("HOME", home.c_str());
    setEnv("XDG_CONFIG_HOME", nullptr);
  }
  void TearDown() override {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
      it->second ? ::setenv(it->first, it->second->c_str(), 1) : ::unsetenv(it->first);
  }
  // Set (or with nullptr unset) for this test only.
  void setEnv(const char* name, const char* value) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  fs::path program(const fs::path& p) {  // a stand-in executable
    writeAll(p, "#!/bin/sh\nexit 0\n");
    fs::permissions(p, fs::perms::owner_all);
    return p;
  }

  test::TempDir dir;
  fs::path root = dir.path(), home = root / "home";

 private:
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST_F(AutostartTest, EntryPathFollowsXdgConfigHomeAndFallsBackToHome) {
  const fs::path fallback = home / ".config" / "autostart" / "glowticker.desktop";
  const std::pair<const char*, fs::path> cases[] = {{"/x/xdg", "/x/xdg/autostart/glowticker.desktop"},
                                                    {nullptr, fallback},
                                                    {"", fallback},
                                                    {"relative/dir", fallback}};
  for (const auto& [xdg, expected] : cases) {
    setEnv("XDG_CONFIG_HOME", xdg);
    EXPECT_EQ(Autostart().entryPath(), expected) << (xdg ? xdg : "<unset>");
  }
}

TEST_F(AutostartTest, EnableFailuresGiveAnActionableProblemAndLeaveNothingBehind) {
  fs::path app = program(root / "app");
  auto problemOf = [&](const fs::path& configDir, const fs::path& program) {
    std::string problem;
    EXPECT_TRUE(Autostart(configDir).enable(program, &problem));
    return problem;
  };
  EXPECT_NE(problemOf(root / "cfg", "glowticker-app").find("not absolute"), std::string::npos);
  EXPECT_NE(problemOf(root / "cfg", "/opt/bad\nname/glowticker-app").find("control characters"), std::string::npos);
  EXPECT_FALSE(fs::exists(root / "cfg"));
  // Something else sits where the folder or the entry should be (fails for root too).
  writeAll(root / "file" / "autostart", "not a folder");
  EXPECT_NE(problemOf(root / "file", app).find("Cannot create the folder"), std::string::npos);
  fs::create_directories(root / "dir" / "autostart" / "glowticker.desktop" / "child");
  EXPECT_NE(problemOf(root / "dir", app).find("Cannot write the autostart entry"), std::string::npos);
  EXPECT_EQ(entriesIn(root / "dir" / "autostart"), 1u) << "the temporary file was not cleaned up";
  EXPECT_FALSE(Autostart(root / "dir").status().enabled);
  if (::geteuid() != 0) {  // root ignores folder permissions
    fs::create_directories(root / "ro" / "autostart");
    fs::permissions(root / "ro" / "autostart", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_NE(problemOf(root / "ro", app).find("Cannot write the autostart entry"), std::string::npos);
    fs::permissions(root / "ro" / "autostart", fs::perms::owner_all);
  }
}

TEST_F(AutostartTest, ExecQuotingRoundTripsAwkwardPaths) {
  for (const char* p :
       {"/usr/bin/glowticker-app", "/home/li/My Apps/glowticker-app", "/home/li/it's \"here\"/glowticker-app",
        "/home/li/$HOME`x`/glowticker-app", "/home/li/100%/glowticker-app", "/home/li/back\\slash/glowticker-app",
        "/home/李/应用/glowticker-app", "/home/li/a=b;c&d|e<f>g~h*i?j#k(l)/glowticker-app"}) {
    std::string exec = Autostart::execValue(p);
    ASSERT_FALSE(exec.empty()) << p;
    EXPECT_EQ(Autostart::programOf(exec), std::optional<std::string>(p)) << "Exec=" << exec;
    // A lone % would be taken as a field code by the launcher.
    for (std::size_t i = exec.find('%'); i != std::string::npos; i = exec.find('%', i + 2))
      EXPECT_EQ(exec[i + 1], '%') << exec;
  }
  EXPECT_EQ(Autostart::execValue("/usr/bin/glowticker-app"), "/usr/bin/glowticker-app");
  EXPECT_EQ(Autostart::execValue("/a b/app"), "\"/a b/app\"");
  // The backslash is escaped once for the quoting and once more for the string value.
  EXPECT_EQ(Autostart::execValue("/a\\b/app"), "\"/a\\\\\\\\b/app\"");
  EXPECT_EQ(Autostart::execValue("/a\tb/app"), "");
  EXPECT_EQ(Autostart::programOf("/usr/bin/app %U --x"), std::optional<std::string>("/usr/bin/app"));
  EXPECT_EQ(Autostart::programOf("\"/a b/app\" --flag"), std::optional<std::string>("/a b/app"));
  EXPECT_EQ(Autostart::programOf("\"/unterminated"), std::nullopt);
  EXPECT_EQ(Autostart::programOf("   "), std::nullopt);
}

TEST_F(AutostartTest, StatusReadsEntriesWrittenByOthers) {
  Autostart a(root / "cfg");
  fs::path app = program(root / "My Apps" / "glowticker-app");
  // Written by hand or by a settings tool: comments, other groups, localized keys, spaces around '='.
  writeAll(a.entryPath(), "# user entry\n[Desktop Entry]\nName[zh_CN]=x\nExec = \"" + app.string() +
                              "\" %U\n\n[Desktop Action x]\nExec=/bin/false\n");
  Autostart::Status st = a.status();
  EXPECT_TRUE(st.enabled);
  EXPECT_EQ(st.target, Opt(app));
  EXPECT_TRUE(st.targetRunnable);
  // Switched off by the desktop's settings without removing the file: that stays the user's choice.
  for (const char* off : {"X-GNOME-Autostart-enabled=false", "Hidden=true"}) {
    writeAll(a.entryPath(), "[Desktop Entry]\nExec=" + app.string() + "\n" + off + "\n");
    EXPECT_FALSE(a.status().enabled) << off;
    EXPECT_EQ(a.repairIfMoved(root / "elsewhere"), Autostart::Repair::notNeeded) << off;
  }
}

TEST_F(AutostartTest, MovedOrBrokenEntryIsRepairedAndOtherCopiesAreLeftAlone) {
  Autostart a;
  fs::path oldApp = program(root / "old" / "glowticker-app");
  EXPECT_EQ(a.repairIfMoved(oldApp), Autostart::Repair::notNeeded);
  EXPECT_FALSE(fs::exists(a.entryPath())) << "autostart is switched on only by the user";
  ASSERT_FALSE(a.enable(oldApp));
  EXPECT_EQ(a.repairIfMoved(oldApp), Autostart::Repair::notNeeded);  // the entry names the running program

  fs::path newApp = root / "new place" / "glowticker-app";
  fs::create_directories(newApp.parent_path());
  fs::rename(oldApp, newApp);
  EXPECT_FALSE(a.status().targetRunnable);
  EXPECT_EQ(a.repairIfMoved(newApp), Autostart::Repair::repaired);
  Autostart::Status st = a.status();
  EXPECT_TRUE(st.enabled);
  EXPECT_EQ(st.target, Opt(newApp));
  EXPECT_TRUE(st.targetRunnable);
  EXPECT_EQ(a.repairIfMoved(newApp), Autostart::Repair::notNeeded);

  // A program that lost its execute bit is no longer runnable either.
  fs::permissions(newApp, fs::perms::owner_read | fs::perms::owner_write);
  fs::path other = program(root / "third" / "glowticker-app");
  EXPECT_EQ(a.repairIfMoved(other), Autostart::Repair::repaired);
  // Another working copy (an installed app while a development build runs) is left alone.
  EXPECT_EQ(a.repairIfMoved(program(root / "build" / "glowticker-app")), Autostart::Repair::notNeeded);
  EXPECT_EQ(a.status().target, Opt(other));

  for (const char* broken : {"Exec=glowticker-app\n", "Name=Glowticker\n"}) {  // relative, or no Exec at all
    writeAll(a.entryPath(), std::string("[Desktop Entry]\n") + broken);
    EXPECT_EQ(a.repairIfMoved(other), Autostart::Repair::repaired) << broken;
    EXPECT_TRUE(a.status().enabled) << broken;
    EXPECT_EQ(a.status().target, Opt(other)) << broken;
  }
}

}  // namespace
}  // namespace gt

#include "core/common/autostart.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "../support/test_files.h"

namespace gt {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

using test::readAll;
using test::writeAll;

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/gt-autostart-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    home_ = root_ / "home";
    fs::create_directories(home_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  // A stand-in executable program at `p`.
  fs::path makeProgram(const fs::path& p) {
    writeAll(p, "#!/bin/sh\nexit 0\n");
    fs::permissions(p, fs::perms::owner_all);
    return p;
  }

  fs::path root_, home_;
};

TEST_F(AutostartTest, EntryPathFollowsXdgConfigHomeAndFallsBackToHome) {
  ScopedEnv home("HOME", home_.string());
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", (root_ / "xdg").string());
    EXPECT_EQ(Autostart().entryPath(), root_ / "xdg" / "autostart" / "glowticker.desktop");
  }
  for (std::optional<std::string> v :
       {std::optional<std::string>{}, std::optional<std::string>{""}, std::optional<std::string>{"relative/dir"}}) {
    ScopedEnv xdg("XDG_CONFIG_HOME", v);
    EXPECT_EQ(Autostart().entryPath(), home_ / ".config" / "autostart" / "glowticker.desktop")
        << "XDG_CONFIG_HOME=" << v.value_or("<unset>");
  }
}

TEST_F(AutostartTest, OnStatusOffRoundTrip) {
  ScopedEnv home("HOME", home_.string());
  ScopedEnv xdg("XDG_CONFIG_HOME", (root_ / "xdg").string());
  Autostart a;
  fs::path app = makeProgram(root_ / "bin" / "glowticker-app");

  EXPECT_FALSE(a.status().enabled);
  EXPECT_FALSE(a.disable()) << "switching off when already off succeeds";

  std::string problem;
  ASSERT_FALSE(a.enable(app, &problem)) << problem;
  Autostart::Status st = a.status();
  EXPECT_TRUE(st.enabled);
  EXPECT_EQ(st.entryPath, root_ / "xdg" / "autostart" / "glowticker.desktop");
  ASSERT_TRUE(st.target);
  EXPECT_EQ(*st.target, app);
  EXPECT_TRUE(st.targetRunnable);

  std::string text = readAll(a.entryPath());
  EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
  EXPECT_NE(text.find("\nExec=" + app.string() + "\n"), std::string::npos) << text;
  struct stat sb {};
  ASSERT_EQ(::stat(a.entryPath().c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0644u);
  // Nothing but the entry is left in the folder (the temporary file was renamed).
  EXPECT_EQ(std::distance(fs::directory_iterator(a.entryPath().parent_path()), fs::directory_iterator()), 1);

  // Enabling again replaces the entry rather than appending to it.
  ASSERT_FALSE(a.enable(app));
  EXPECT_EQ(readAll(a.entryPath()), text);

  EXPECT_FALSE(a.disable());
  EXPECT_FALSE(fs::exists(a.entryPath()));
  EXPECT_FALSE(a.status().enabled);
}

TEST_F(AutostartTest, RefusesRelativeAndControlCharacterPaths) {
  Autostart a(root_ / "cfg");
  std::string problem;
  EXPECT_TRUE(a.enable("glowticker-app", &problem));
  EXPECT_NE(problem.find("not absolute"), std::string::npos) << problem;
  EXPECT_TRUE(a.enable("/opt/bad\nname/glowticker-app", &problem));
  EXPECT_NE(problem.find("control characters"), std::string::npos) << problem;
  EXPECT_FALSE(fs::exists(a.entryPath()));
}

TEST_F(AutostartTest, WriteFailuresGiveAnActionableProblemAndLeaveNoTemporaryFile) {
  fs::path app = makeProgram(root_ / "app");
  std::string problem;
  // Something else sits where the folder or the entry should be (works as root too).
  writeAll(root_ / "file" / "autostart", "not a folder");
  EXPECT_TRUE(Autostart(root_ / "file").enable(app, &problem));
  EXPECT_NE(problem.find("Cannot create the folder"), std::string::npos) << problem;

  Autostart blocked(root_ / "dir");
  fs::create_directories(blocked.entryPath() / "child");
  problem.clear();
  EXPECT_TRUE(blocked.enable(app, &problem));
  EXPECT_NE(problem.find("Cannot write the autostart entry"), std::string::npos) << problem;
  EXPECT_EQ(std::distance(fs::directory_iterator(blocked.entryPath().parent_path()), fs::directory_iterator()), 1)
      << "the temporary file was not cleaned up";
  EXPECT_FALSE(blocked.status().enabled);
}

TEST_F(AutostartTest, ReadOnlyFolderGivesAnActionableProblem) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions; this case needs an ordinary user";
  fs::path app = makeProgram(root_ / "app");
  std::string problem;
  fs::create_directories(root_ / "ro" / "autostart");
  fs::permissions(root_ / "ro" / "autostart", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_TRUE(Autostart(root_ / "ro").enable(app, &problem));
  EXPECT_NE(problem.find("Cannot write the autostart entry"), std::string::npos) << problem;
  fs::permissions(root_ / "ro" / "autostart", fs::perms::owner_all);
}

TEST_F(AutostartTest, ExecQuotingRoundTripsAwkwardPaths) {
  // Paths a user really has: spaces, quotes, dollar signs, percent signs, backslashes, non-ASCII.
  const char* paths[] = {"/usr/bin/glowticker-app",
                         "/home/li/My Apps/glowticker-app",
                         "/home/li/it's \"here\"/glowticker-app",
                         "/home/li/$HOME`x`/glowticker-app",
                         "/home/li/100%/glowticker-app",
                         "/home/li/back\\slash/glowticker-app",
                         "/home/李/应用/glowticker-app",
                         "/home/li/a=b;c&d|e<f>g~h*i?j#k(l)/glowticker-app"};
  for (const char* p : paths) {
    std::string exec = Autostart::execValue(p);
    ASSERT_FALSE(exec.empty()) << p;
    EXPECT_EQ(Autostart::programOf(exec), std::optional<std::string>(p)) << "Exec=" << exec;
    // A lone % would be taken as a field code by the launcher.
    for (std::size_t i = 0; i < exec.size(); ++i) {
      if (exec[i] == '%') {
        EXPECT_TRUE(i + 1 < exec.size() && exec[i + 1] == '%') << exec;
        ++i;
      }
    }
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
  Autostart a(root_ / "cfg");
  fs::path app = makeProgram(root_ / "My Apps" / "glowticker-app");
  // Written by hand or by a settings tool: comments, other groups, localized keys, spaces around '='.
  writeAll(a.entryPath(), "# user entry\n[Desktop Entry]\nName[zh_CN]=x\nExec = \"" + app.string() +
                              "\" %U\n\n[Desktop Action x]\nExec=/bin/false\n");
  Autostart::Status st = a.status();
  EXPECT_TRUE(st.enabled);
  ASSERT_TRUE(st.target);
  EXPECT_EQ(*st.target, app);
  EXPECT_TRUE(st.targetRunnable);

  // Switched off by the desktop's settings without removing the file.
  writeAll(a.entryPath(), "[Desktop Entry]\nExec=" + app.string() + "\nX-GNOME-Autostart-enabled=false\n");
  EXPECT_FALSE(a.status().enabled);
  writeAll(a.entryPath(), "[Desktop Entry]\nExec=" + app.string() + "\nHidden=true\n");
  EXPECT_FALSE(a.status().enabled);
  EXPECT_EQ(a.repairIfMoved(root_ / "elsewhere"), Autostart::Repair::notNeeded)
      << "a switched-off entry stays the user's choice";
}

TEST_F(AutostartTest, MovedExecutableIsRepaired) {
  ScopedEnv home("HOME", home_.string());
  ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
  Autostart a;
  fs::path oldApp = makeProgram(root_ / "old" / "glowticker-app");
  ASSERT_FALSE(a.enable(oldApp));
  ASSERT_EQ(a.entryPath(), home_ / ".config" / "autostart" / "glowticker.desktop");

  // Nothing to do while the entry names the running program.
  EXPECT_EQ(a.repairIfMoved(oldApp), Autostart::Repair::notNeeded);

  // The user moves the app; the entry now names a missing file.
  fs::path newApp = root_ / "new place" / "glowticker-app";
  fs::create_directories(newApp.parent_path());
  fs::rename(oldApp, newApp);
  EXPECT_FALSE(a.status().targetRunnable);
  EXPECT_EQ(a.repairIfMoved(newApp), Autostart::Repair::repaired);
  Autostart::Status st = a.status();
  EXPECT_TRUE(st.enabled);
  ASSERT_TRUE(st.target);
  EXPECT_EQ(*st.target, newApp);
  EXPECT_TRUE(st.targetRunnable);
  EXPECT_EQ(a.repairIfMoved(newApp), Autostart::Repair::notNeeded);

  // A program that lost its execute bit is no longer runnable either.
  fs::permissions(newApp, fs::perms::owner_read | fs::perms::owner_write);
  fs::path other = makeProgram(root_ / "third" / "glowticker-app");
  EXPECT_EQ(a.repairIfMoved(other), Autostart::Repair::repaired);

  // Another working copy (an installed app while a development build runs) is left alone.
  ASSERT_FALSE(a.enable(other));
  fs::path devBuild = makeProgram(root_ / "build" / "glowticker-app");
  EXPECT_EQ(a.repairIfMoved(devBuild), Autostart::Repair::notNeeded);
  EXPECT_EQ(a.status().target, std::optional<fs::path>(other));
}

TEST_F(AutostartTest, NoEntryMeansNoRepair) {
  Autostart a(root_ / "cfg");
  EXPECT_EQ(a.repairIfMoved(makeProgram(root_ / "app")), Autostart::Repair::notNeeded);
  EXPECT_FALSE(fs::exists(a.entryPath())) << "autostart is switched on only by the user";
}

TEST_F(AutostartTest, RelativeOrBrokenExecIsRewritten) {
  Autostart a(root_ / "cfg");
  fs::path app = makeProgram(root_ / "app");
  writeAll(a.entryPath(), "[Desktop Entry]\nExec=glowticker-app\n");
  EXPECT_EQ(a.repairIfMoved(app), Autostart::Repair::repaired);
  EXPECT_EQ(a.status().target, std::optional<fs::path>(app));
  writeAll(a.entryPath(), "[Desktop Entry]\nName=Glowticker\n");
  EXPECT_EQ(a.repairIfMoved(app), Autostart::Repair::repaired);
  EXPECT_TRUE(a.status().enabled);
}

}  // namespace
}  // namespace gt

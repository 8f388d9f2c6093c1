#include "core/autostart/autostart.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/process.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll, test::writeAll;

std::size_t entriesIn(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    env.set("HOME", home.c_str());
    env.set("XDG_CONFIG_HOME", nullptr);
  }
  fs::path program(const fs::path& p) {  // a stand-in executable
    writeAll(p, "#!/bin/sh\nexit 0\n");
    fs::permissions(p, fs::perms::owner_all);
    return p;
  }

  test::TempDir dir;
  fs::path root = dir.path(), home = root / "home";
  test::Env env;
};

TEST_F(AutostartTest, EntryPathFallsBackToHomeUnlessXdgConfigHomeIsAbsolute) {
  for (const char* xdg : {"", "relative/dir"}) {
    env.set("XDG_CONFIG_HOME", xdg);
    EXPECT_EQ(Autostart().entryPath(), home / ".config" / "autostart" / "glowticker.desktop") << xdg;
  }
  env.set("XDG_CONFIG_HOME", (root / "xdg").c_str());
  EXPECT_EQ(Autostart().entryPath(), root / "xdg" / "autostart" / "glowticker.desktop");
}

TEST_F(AutostartTest, EnableFailuresGiveAnActionableProblemAndLeaveNothingBehind) {
  fs::path app = program(root / "app");
  auto problemOf = [&](const fs::path& configDir, const fs::path& program) {
    auto enabled = Autostart(configDir).enable(program);
    return enabled ? std::string() : enabled.error().detail;
  };
  EXPECT_NE(problemOf(root / "cfg", "glowticker-app").find("not absolute"), std::string::npos);
  EXPECT_NE(problemOf(root / "cfg", "/opt/bad\nname/glowticker-app").find("control characters"), std::string::npos);
  EXPECT_FALSE(fs::exists(root / "cfg"));
  // Something else sits where the folder or the entry should be (fails for root too).
  writeAll(root / "file" / "autostart", "not a folder");
  EXPECT_NE(problemOf(root / "file", app).find("Cannot create the folder"), std::string::npos);
  fs::create_directories(root / "dir" / "autostart" / "glowticker.desktop" / "child");
  EXPECT_NE(problemOf(root / "dir", app).find("cannot be read; it is left as it is"), std::string::npos);
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
  EXPECT_EQ(Autostart::execValue("/a\tb/app"), "");
  EXPECT_EQ(Autostart::programOf("/usr/bin/app %U --x"), std::optional<std::string>("/usr/bin/app"));
  EXPECT_EQ(Autostart::programOf("\"/a b/app\" --flag"), std::optional<std::string>("/a b/app"));
  EXPECT_EQ(Autostart::programOf("\"/unterminated"), std::nullopt);
  EXPECT_EQ(Autostart::programOf("   "), std::nullopt);
}

// The user's own entry, at the app's start (only a gone program's path inside Exec changes) and through
// the real command beside the app: "on" changes at most that path and the switch keys, "off" removes
// only an entry that starts glowticker-app. Everything else stays byte for byte.
TEST_F(AutostartTest, TheUsersEntryKeepsItsBytesAtStartAndThroughOnAndOff) {
  env.set("PATH", (root / "empty").c_str());  // a bare glowticker-app is found nowhere
  Autostart a;
  const std::string gone = (root / "old" / "glowticker-app").string();
  const fs::path app = program(root / "new place" / "glowticker-app");
  EXPECT_EQ(a.repairIfMoved(app), Autostart::Repair::notNeeded);
  EXPECT_FALSE(fs::exists(a.entryPath())) << "autostart is switched on only by the user";
  const std::string lame = program(root / "lame" / "glowticker-app").string();  // there, but not executable
  fs::permissions(lame, fs::perms::owner_read | fs::perms::owner_write);
  fs::copy_file(GT_GLOWTICKER_BIN, app.parent_path() / "glowticker");
  auto command = [&](const char* verb) {
    return test::runProgram({(app.parent_path() / "glowticker").string(), "autostart", verb}, root);
  };
  const std::string other = program(root / "dev" / "glowticker-app").string();  // another working copy
  const std::string q = Autostart::execValue(app);
  const std::string head = "[Desktop Entry]\nType=Application\n";
  const std::string mine = "[Desktop Entry]\nExec=env QT_SCALE_FACTOR=2 " + q + " --tray\n# mine\nOnlyShowIn=KDE;\n";
  const struct {
    std::string before, atStart, afterOn;  // empty: as before
    bool ours, off;
  } rows[] = {
      {"# mine\r\n[Desktop Entry]\r\nExec=env QT_SCALE_FACTOR=2 " + gone +
           " --minimized %U\r\nX-GNOME-Autostart-Delay=15\r\nOnlyShowIn=KDE;\r\n",
       "# mine\r\n[Desktop Entry]\r\nExec=env QT_SCALE_FACTOR=2 " + q +
           " --minimized %U\r\nX-GNOME-Autostart-Delay=15\r\nOnlyShowIn=KDE;\r\n",
       "=", true, false},
      {head + "Exec=env QT_SCALE_FACTOR=2 glowticker-app\nOnlyShowIn=KDE;\n",
       head + "Exec=env QT_SCALE_FACTOR=2 " + q + "\nOnlyShowIn=KDE;\n", "=", true, false},
      {head + "Exec = \"" + gone + "\"\n\n[Desktop Action x]\nExec=/bin/false\n",
       head + "Exec = " + q + "\n\n[Desktop Action x]\nExec=/bin/false\n", "=", true, false},
      {head + "Name=Glowticker", "[Desktop Entry]\nExec=" + q + "\nType=Application\nName=Glowticker", "=", true,
       false},
      {"[Desktop Entry]", "[Desktop Entry]\nExec=" + q + "\n", "=", true, false},
      {head + "Exec=/usr/bin/other-app --tray\n", "", "", false, false},  // a wrapper: never changed
      {mine + "X-GNOME-Autostart-Delay=9\nHidden=true\n", "", mine + "X-GNOME-Autostart-Delay=9\nHidden=false\n", true,
       true},
      {head + "Exec=env A=1 " + gone + "\nX-GNOME-Autostart-enabled=false\n", "",
       head + "Exec=env A=1 " + q + "\nX-GNOME-Autostart-enabled=true\n", true, true},
      {head + "Exec=" + other + "\n", "", "", true, false},
      {head + "Exec=" + lame + "\n", head + "Exec=" + q + "\n", "=", true, false},
  };
  for (const auto& r : rows) {
    const std::string atStart = r.atStart.empty() ? r.before : r.atStart;
    writeAll(a.entryPath(), r.before);
    a.repairIfMoved(app);
    EXPECT_EQ(readAll(a.entryPath()), atStart);
    Autostart::Status st = a.status();
    EXPECT_TRUE(st.ours == r.ours && st.switchedOff == r.off && st.enabled == (r.ours && !r.off)) << r.before;

    writeAll(a.entryPath(), r.before);
    test::ProcessResult on = command("on");
    EXPECT_EQ(on.status, r.ours ? 0 : 1) << r.before << on.err;
    EXPECT_EQ(readAll(a.entryPath()), r.afterOn == "=" ? atStart : r.afterOn.empty() ? r.before : r.afterOn);
    test::ProcessResult off = command("off");
    EXPECT_EQ(off.status, 0);
    EXPECT_EQ(fs::exists(a.entryPath()), !r.ours) << r.before;
    if (!r.ours) EXPECT_NE(off.out.find("runs /usr/bin/other-app, not glowticker-app; it is left"), std::string::npos);
  }
}

// The command, copied into a folder of its own: "on" must find glowticker-app beside it.
TEST_F(AutostartTest, CommandSwitchesTheEntryAndSaysWhatItFinds) {
  const fs::path bin = root / "my apps" / "glowticker", app = root / "my apps" / "glowticker-app";
  const fs::path entry = home / ".config" / "autostart" / "glowticker.desktop";
  fs::create_directories(bin.parent_path());
  fs::copy_file(GT_GLOWTICKER_BIN, bin);
  auto gt = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {bin.string(), "autostart"});
    return test::runProgram(args, root);
  };
  test::ProcessResult r = gt({"on"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE((r.out + r.err).find("glowticker-app"), std::string::npos) << "the missing app is not named: " << r.err;
  EXPECT_FALSE(fs::exists(entry));
  program(app);
  EXPECT_EQ(gt({"status"}).out, "Autostart off.\n");
  ASSERT_EQ(gt({"on"}).status, 0);
  EXPECT_NE(readAll(entry).find("\nExec=\"" + app.string() + "\"\n"), std::string::npos) << readAll(entry);
  if (std::system("command -v desktop-file-validate >/dev/null") == 0)
    EXPECT_EQ(std::system(("desktop-file-validate '" + entry.string() + "'").c_str()), 0);
  EXPECT_EQ(gt({"status"}).out.rfind("Autostart on: " + app.string(), 0), 0u);
  // Written whole, mode 0644, with no temporary file left.
  EXPECT_EQ(fs::status(entry).permissions(), fs::perms(0644));
  EXPECT_EQ(entriesIn(entry.parent_path()), 1u);
  // The app moved: status warns; "off" removes the entry, and a second "off" is no error.
  fs::rename(app, root / "gone");
  EXPECT_NE(gt({"status"}).out.find("\nWarning:"), std::string::npos);
  EXPECT_EQ(gt({"off"}).status, 0);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(gt({"off"}).status, 0);
  // An entry the user switched off is reported and left alone.
  writeAll(entry, "[Desktop Entry]\nExec=\"" + app.string() + "\"\nHidden=true\n");
  EXPECT_NE(gt({"status"}).out.find("is switched off"), std::string::npos);
  EXPECT_EQ(gt({}).status, 2);
  EXPECT_EQ(gt({"maybe"}).status, 2);
}

}  // namespace
}  // namespace gt

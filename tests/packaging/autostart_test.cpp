// The autostart entry through the real `glowticker autostart` beside a stand-in app, and what enable refuses.
#include "core/autostart/autostart.h"

#include <gtest/gtest.h>

#include "support/process.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll, test::writeAll;
constexpr auto npos = std::string::npos;

// An enable that cannot work says why and leaves nothing behind; "on" names the app beside it, quoted. The user's own
// entries: at start and "on" only a gone app's path and the switch keys change, "off" removes only one that starts
// ours.
TEST(Autostart, TheEntryTheCommandAndTheUsersOwnEntries) {
  test::TempDir dir;
  const fs::path root = dir.path(), home = root / "home";
  test::Env env("HOME", home.c_str());
  env.set("XDG_CONFIG_HOME", nullptr);
  auto program = [](const fs::path& p) {  // a stand-in executable
    writeAll(p, "#!/bin/sh\nexit 0\n");
    fs::permissions(p, fs::perms::owner_all);
    return p;
  };
  const fs::path plain = program(root / "app");
  auto problemOf = [&](const fs::path& configDir, const fs::path& program) {
    auto enabled = Autostart(configDir).enable(program);
    return enabled ? std::string() : enabled.error().detail;
  };
  EXPECT_NE(problemOf(root / "cfg", "glowticker-app").find("not absolute"), npos);
  EXPECT_NE(problemOf(root / "cfg", "/opt/bad\nname/glowticker-app").find("control characters"), npos);
  EXPECT_FALSE(fs::exists(root / "cfg"));
  // Something else where the folder or the entry belongs, or a write that fails (for root too).
  writeAll(root / "file" / "autostart", "not a folder");
  EXPECT_NE(problemOf(root / "file", plain).find("Cannot create the folder"), npos);
  fs::create_directories(root / "dir" / "autostart" / "glowticker.desktop" / "child");
  EXPECT_NE(problemOf(root / "dir", plain).find("cannot be read; it is left as it is"), npos);
  EXPECT_FALSE(Autostart(root / "dir").status().enabled);
  const auto big = test::withFileSizeLimit(16, [&] { return problemOf(root / "big", plain); });
  EXPECT_NE(big.find("Cannot write the autostart entry"), npos) << big;
  EXPECT_TRUE(fs::is_empty(root / "big" / "autostart")) << "the temporary file was not cleaned up";

  env.set("PATH", (root / "empty").c_str());  // a bare glowticker-app is found nowhere
  const fs::path bin = root / "it's \"my\" $HOME`x` 100% back\\slash (李)", app = bin / "glowticker-app";
  fs::create_directories(bin);
  fs::copy_file(GT_GLOWTICKER_BIN, bin / "glowticker");
  auto command = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {(bin / "glowticker").string(), "autostart"});
    return test::runProgram(args, root);
  };
  Autostart a;
  test::ProcessResult r = command({"on"});
  EXPECT_TRUE(r.status == 1 && r.err.find("glowticker-app") != npos) << "the missing app is not named: " << r.err;
  program(app);
  EXPECT_EQ(a.repairIfMoved(app), Autostart::Repair::notNeeded);
  EXPECT_FALSE(fs::exists(a.entryPath())) << "autostart is switched on only by the user";
  ASSERT_EQ(command({"on"}).status, 0);
  const std::string q = Autostart::execValue(app);
  EXPECT_NE(readAll(a.entryPath()).find("\nExec=" + q + "\n"), npos) << readAll(a.entryPath());
  EXPECT_NE(q.find(" 100%% "), npos) << "a lone % would be taken as a field code";
  const std::string validate = "! command -v desktop-file-validate >/dev/null || desktop-file-validate '";
  EXPECT_EQ(std::system((validate + a.entryPath().string() + "'").c_str()), 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(a.entryPath().parent_path()), {}), 1) << "a temporary file is left";
  // The app moved: status warns; "off" removes the entry, and a second "off" is no error.
  fs::rename(app, root / "gone");
  EXPECT_NE(command({"status"}).out.find("\nWarning:"), npos);
  EXPECT_EQ(command({"off"}).status, 0);
  EXPECT_FALSE(fs::exists(a.entryPath()));
  EXPECT_EQ(command({"off"}).status, 0);

  program(app);
  const std::string gone = (root / "old" / "glowticker-app").string();
  const std::string lame = program(root / "lame" / "glowticker-app").string();  // there, but not executable
  fs::permissions(lame, fs::perms::owner_read | fs::perms::owner_write);
  const std::string head = "[Desktop Entry]\nType=Application\n";
  const std::string mine = "[Desktop Entry]\nExec=env QT_SCALE_FACTOR=2 " + q + " --tray\n# mine\nOnlyShowIn=KDE;\n";
  const struct {
    std::string before, atStart, afterOn;  // empty: as before; "=": as at start
    bool ours, off;
    std::string said = "only the app's path";  // what "on" says it changed
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
      {"[Desktop Entry]", "[Desktop Entry]\nExec=" + q + "\n", "=", true, false},  // no final newline
      {head + "Exec=/usr/bin/other-app --tray\n", "", "", false, false, ""},       // a wrapper: never changed
      {mine + "X-GNOME-Autostart-Delay=9\nHidden=true\n", "", mine + "X-GNOME-Autostart-Delay=9\nHidden=false\n", true,
       true, "only its switch"},
      {head + "Exec=env A=1 " + gone + "\nX-GNOME-Autostart-enabled=false\n", "",
       head + "Exec=env A=1 " + q + "\nX-GNOME-Autostart-enabled=true\n", true, true, "switch and the app's path"},
      {head + "Exec=" + lame + "\n", head + "Exec=" + q + "\n", "=", true, false}};
  for (const auto& row : rows) {
    const std::string atStart = row.atStart.empty() ? row.before : row.atStart;
    writeAll(a.entryPath(), row.before);
    a.repairIfMoved(app);
    EXPECT_EQ(readAll(a.entryPath()), atStart);
    Autostart::Status st = a.status();
    EXPECT_TRUE(st.ours == row.ours && st.switchedOff == row.off && st.enabled == (row.ours && !row.off)) << row.before;
    writeAll(a.entryPath(), row.before);
    r = command({"on"});
    EXPECT_EQ(r.status, row.ours ? 0 : 1) << row.before << r.err;
    EXPECT_EQ(r.out.find(row.said + " changed.\n") != npos, row.ours) << r.out;
    EXPECT_EQ(readAll(a.entryPath()), row.afterOn == "=" ? atStart : row.afterOn.empty() ? row.before : row.afterOn);
    r = command({"off"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fs::exists(a.entryPath()), !row.ours) << row.before;
  }
}

}  // namespace
}  // namespace gt

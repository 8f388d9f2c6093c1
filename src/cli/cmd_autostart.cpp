#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>

#include "cli/commands.h"
#include "core/autostart/autostart.h"
#include "core/common/program_path.h"
#include "core/common/utf8.h"

namespace gt::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage = "Usage: glowticker autostart on|off|status\n";

// The tray app installed or built beside this program; autostart always names it by absolute path.
Result<fs::path, Problem<Autostart::EnableProblem>> appBesideMe() {
  auto self = runningProgram();
  if (!self)
    return fail(Autostart::EnableProblem::badAppPath, "cannot find this program's own location (/proc/self/exe): " +
                                                          std::make_error_code(self.error().kind).message() + ".");
  fs::path app = self->parent_path() / "glowticker-app";
  if (!isExecutableFile(app))
    return fail(Autostart::EnableProblem::badAppPath,
                "the tray app " + app.string() + " is missing or not executable; install glowticker-app beside " +
                    self->filename().string() + " and try again.");
  return app;
}

// An entry there that does not start glowticker-app is the user's own: said, never changed.
void sayLeftAlone(const Autostart::Status& st) {
  std::cout << "Autostart off: " << st.entryPath.string()
            << (st.target ? " runs " + terminalSafe(st.target->string()) + ", not glowticker-app"
                          : std::string(" has no Exec line this program can read"))
            << "; it is left as it is.\n";
}

}  // namespace

int runAutostart(int argc, char** argv) {
  if (argc != 1) {
    std::cerr << kUsage;
    return 2;
  }
  std::string verb = argv[0];
  Autostart autostart;
  if (verb == "on") {
    auto app = appBesideMe();
    auto enabled = app ? autostart.enable(*app) : fail(app.error());
    if (!enabled) {
      std::cerr << "glowticker: " << terminalSafe(enabled.error().detail) << "\n";
      return 1;
    }
    const Autostart::Enabled did = *enabled;
    if (did.written) {
      std::cout << "Autostart on: " << app->string() << " starts at login (" << autostart.entryPath().string()
                << ").\n";
      return 0;
    }
    const Autostart::Status st = autostart.status();
    std::cout << "Autostart on: " << st.entryPath.string() << " starts "
              << terminalSafe(st.target ? st.target->string() : app->string()) << " at login; "
              << (did.switchedBackOn && did.pathReplaced ? "only its switch and the app's path changed.\n"
                  : did.switchedBackOn                   ? "only its switch changed.\n"
                  : did.pathReplaced                     ? "only the app's path changed.\n"
                                                         : "it is left as it is.\n");
    return 0;
  }
  if (verb == "off") {
    auto disabled = autostart.disable();
    if (!disabled) {
      std::cerr << "glowticker: cannot remove " << autostart.entryPath().string() << ": "
                << std::make_error_code(disabled.error().kind).message() << ".\n";
      return 1;
    }
    if (*disabled == Autostart::Disabled::leftAlone) {
      sayLeftAlone(autostart.status());
      return 0;
    }
    std::cout << "Autostart off.\n";
    return 0;
  }
  if (verb == "status") {
    Autostart::Status st = autostart.status();
    std::string entry = st.entryPath.string();
    if (!st.exists) {
      std::cout << "Autostart off.\n";
      return 0;
    }
    if (!st.ours) {
      sayLeftAlone(st);
      return 0;
    }
    if (st.switchedOff) {
      std::cout << "Autostart off: " << entry
                << " is switched off (Hidden=true or X-GNOME-Autostart-enabled=false); it is left as it is.\n";
      return 0;
    }
    std::cout << "Autostart on: " << terminalSafe(st.target->string()) << " (" << st.entryPath.string() << ")\n";
    if (!st.targetRunnable)
      std::cout << "Warning: " << terminalSafe(st.target->string())
                << " does not exist or is not executable; run 'glowticker autostart on' again.\n";
    return 0;
  }
  std::cerr << "glowticker: unknown autostart action '" << verb << "'.\n" << kUsage;
  return 2;
}

}  // namespace gt::cli

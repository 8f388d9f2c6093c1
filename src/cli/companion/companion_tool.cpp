#include "cli/companion/companion_tool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ostream>

#include "cli/companion/config_file.h"
#include "cli/companion/edit_lock.h"
#include "cli/companion/shell_quote.h"
#include "core/common/program_path.h"
#include "core/common/utf8.h"
#include "core/hooks/agent_config.h"
#include "core/hooks/hook_state.h"
#include "core/hooks/install_report.h"

namespace gt {

namespace {

std::string checkHookExecutable(const std::filesystem::path& hook) {
  struct stat st {};
  if (hook.is_absolute() && ::stat(hook.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(hook.c_str(), X_OK) == 0)
    return {};
  return "The hook program " + hook.string() +
         " is missing or not executable. Reinstall Glowticker so that glowticker-hook sits beside glowticker.";
}

ConfigEdit edit(AgentID agent, bool install, const std::string& text, const std::filesystem::path& hook) {
  const AgentConfig* config = configFor(agent);
  std::string name(rawValue(agent));
  if (!config) return ConfigEdit::refuse("No configuration editor is registered for " + name + ".");
  HookSetup setup{"~/" + std::string(agent->configFile), {hook.string(), "--agent", name},
                  shellQuote(hook.string()) + " --agent " + name, agent->events, name};
  return install ? config->install(text, setup) : config->uninstall(text, setup);
}

int run(AgentID agent, bool install, const CompanionTool::Options& options, std::ostream& out, std::ostream& err) {
  auto fail = [&](const std::string& message) {
    err << "glowticker: " << message << "\n";
    return 1;
  };
  if (install)
    if (std::string why = checkHookExecutable(options.hookExecutable); !why.empty()) return fail(why);

  // The agents' files are UTF-8 text: a path that is not cannot be written into them.
  if (!isValidUtf8(options.hookExecutable.native()))
    return fail("The hook program's path " + options.hookExecutable.string() +
                " is not valid UTF-8, so it cannot be written into " + std::string(rawValue(agent)) +
                "'s configuration; move Glowticker to a folder whose name is UTF-8 text. Nothing was changed.");

  std::filesystem::path path = HookState::configPath(agent, options.home);
  EditLock lock(path);
  if (!lock.held()) return fail(lock.error() + " Nothing was changed.");
  std::string error;
  std::optional<ConfigFile> file = ConfigFile::load(path, error);
  if (!file) return fail(error);
  ConfigEdit change = edit(agent, install, file->text, options.hookExecutable);
  if (!change.error.empty()) return fail(change.error);

  std::string action = "unchanged";
  std::string backup;
  if (change.changed) {
    if (file->exists) {
      std::optional<std::filesystem::path> copy = file->backup(error);
      if (!copy) return fail(error + " Nothing was changed.");
      backup = copy->string();
    }
    if (!file->replace(change.text, error)) return fail(error + " The file was left as it was.");
    bool hadOurs = holdsOurHook(agent, file->text);
    action = !install ? "removed" : !file->exists ? "created" : hadOurs ? "updated" : "installed";
  }

  bool marked = HookState::isInstalled(agent, options.home);
  if (install && !marked)
    return fail(path.string() + " does not show the hook after the edit; check the file and try again.");
  if (!install && marked)
    return fail(path.string() + " still shows the hook after the edit; check the file and try again.");

  std::string name(rawValue(agent));
  const AgentConfig* config = configFor(agent);
  std::string note = change.changed ? ReportWords::restartNote(name, install && config && config->reviewsNewHooks)
                     : install      ? std::string(ReportWords::kAlreadyInstalled)
                                    : std::string(ReportWords::kNothingInstalled);
  out << writeReport({InstallReport{name, path.string(), action, backup, change.notes}}, note);
  return 0;
}

}  // namespace

std::filesystem::path CompanionTool::defaultHookExecutable() {
  std::filesystem::path dir = runningProgramDir();
  return dir.empty() ? std::filesystem::path("glowticker-hook") : dir / "glowticker-hook";
}

int CompanionTool::install(AgentID agent, const Options& options, std::ostream& out, std::ostream& err) {
  return run(agent, true, options, out, err);
}

int CompanionTool::uninstall(AgentID agent, const Options& options, std::ostream& out, std::ostream& err) {
  return run(agent, false, options, out, err);
}

}  // namespace gt

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

bool isExecutableFile(const std::filesystem::path& hook) {
  struct stat st {};
  return hook.is_absolute() && ::stat(hook.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::access(hook.c_str(), X_OK) == 0;
}

EditResult edit(AgentID agent, const AgentConfig& config, bool install, const std::string& text,
                const std::filesystem::path& hook) {
  std::string name(rawValue(agent));
  HookSetup setup{"~/" + std::string(agent->configFile), {hook.string(), "--agent", name},
                  shellQuote(hook.string()) + " --agent " + name, agent->events, name};
  return install ? config.install(text, setup) : config.uninstall(text, setup);
}

// What a failure to get at the file left: the sentence that tells the user.
std::string aftermath(FileEditProblem kind) {
  switch (kind) {
    case FileEditProblem::locked:
    case FileEditProblem::notBackedUp:
      return " Nothing was changed.";
    case FileEditProblem::notWritten:
      return " The file was left as it was.";
    case FileEditProblem::unreadable:
      break;
  }
  return {};
}

int run(AgentID agent, bool install, const CompanionTool::Options& options, std::ostream& out, std::ostream& err) {
  auto fail = [&](const std::string& message) {
    err << "glowticker: " << message << "\n";
    return 1;
  };
  auto failed = [&](const Problem<FileEditProblem>& problem) { return fail(problem.detail + aftermath(problem.kind)); };
  const std::string name(rawValue(agent));
  const AgentConfig* config = configFor(agent);
  if (!config) return fail("No configuration editor is registered for " + name + ".");
  if (install && !isExecutableFile(options.hookExecutable))
    return fail("The hook program " + options.hookExecutable.string() +
                " is missing or not executable. Reinstall Glowticker so that glowticker-hook sits beside glowticker.");

  // The agents' files are UTF-8 text: a path that is not cannot be written into them.
  if (!isValidUtf8(options.hookExecutable.native()))
    return fail("The hook program's path " + options.hookExecutable.string() +
                " is not valid UTF-8, so it cannot be written into " + name +
                "'s configuration; move Glowticker to a folder whose name is UTF-8 text. Nothing was changed.");

  std::filesystem::path path = HookState::configPath(agent, options.home);
  auto lock = EditLock::take(path);
  if (!lock) return failed(lock.error());
  auto file = ConfigFile::load(path);
  if (!file) return failed(file.error());
  auto change = edit(agent, *config, install, file->text, options.hookExecutable);
  if (!change) return fail(change.error().detail);

  std::string action = "unchanged";
  std::string backup;
  if (change->changed) {
    if (file->exists) {
      auto copy = file->backup();
      if (!copy) return failed(copy.error());
      backup = copy->string();
    }
    if (auto replaced = file->replace(change->text); !replaced) return failed(replaced.error());
    bool hadOurs = holdsOurHook(agent, file->text);
    action = !install ? "removed" : !file->exists ? "created" : hadOurs ? "updated" : "installed";
  }

  bool marked = HookState::isInstalled(agent, options.home);
  if (install && !marked)
    return fail(path.string() + " does not show the hook after the edit; check the file and try again.");
  if (!install && marked)
    return fail(path.string() + " still shows the hook after the edit; check the file and try again.");

  std::string note = change->changed ? ReportWords::restartNote(name, install && config->reviewsNewHooks)
                     : install       ? std::string(ReportWords::kAlreadyInstalled)
                                     : std::string(ReportWords::kNothingInstalled);
  out << writeReport({InstallReport{name, path.string(), action, backup, change->notes}}, note);
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

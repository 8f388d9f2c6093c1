#include <iostream>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/companion/companion_tool.h"
#include "cli/hook/hook_command.h"
#include "core/common/paths.h"

namespace gt::cli {

namespace {

int runCompanion(int argc, char** argv, bool install) {
  const char* verb = install ? "install" : "uninstall";
  auto args = parseArgs(argc, argv, {"agent"});
  const std::string wrong = !args                       ? args.error().detail
                            : !args->positional.empty() ? "unexpected word '" + args->positional[0] + "'"
                            : !args->has("agent")       ? "--agent is required"
                                                        : "";
  if (!wrong.empty()) {
    std::cerr << "glowticker " << verb << ": " << wrong << ". Usage: glowticker " << verb << " --agent "
              << agentNames("|") << "\n";
    return 2;
  }
  std::optional<AgentID> agent = agentFromRaw(*args->get("agent"));
  if (!agent) {
    std::cerr << "glowticker " << verb << ": unknown agent '" << *args->get("agent") << "'; use "
              << agentNames(", ", " or ") << ".\n";
    return 2;
  }
  CompanionTool::Options options{homeDir(), CompanionTool::defaultHookExecutable()};
  return install ? CompanionTool::install(*agent, options, std::cout, std::cerr)
                 : CompanionTool::uninstall(*agent, options, std::cout, std::cerr);
}

}  // namespace

int runInstall(int argc, char** argv) { return runCompanion(argc, argv, true); }

int runUninstall(int argc, char** argv) { return runCompanion(argc, argv, false); }

int runHook(int argc, char** argv) { return HookCommand::run(argc, argv); }

}  // namespace gt::cli

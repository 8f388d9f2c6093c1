#pragma once
#include <filesystem>
#include <iosfwd>

#include "core/hooks/agent_id.h"

namespace gt {

// `glowticker install|uninstall --agent NAME`: edits the agent's own configuration file and prints
// the per-file report the app shows. Returns the exit status: 0 done (or nothing to do), 1 refused
// or failed with the file left as it was.
namespace CompanionTool {

struct Options {
  std::filesystem::path home;            // the user's home directory
  std::filesystem::path hookExecutable;  // absolute path of glowticker-hook
};

int install(AgentID agent, const Options& options, std::ostream& out, std::ostream& err);
int uninstall(AgentID agent, const Options& options, std::ostream& out, std::ostream& err);

// glowticker-hook beside the running executable.
std::filesystem::path defaultHookExecutable();

}  // namespace CompanionTool

}  // namespace gt

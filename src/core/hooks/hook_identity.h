#pragma once
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gt::hook_identity {

// The words a POSIX shell makes of a simple command: quotes and backslashes removed, nothing expanded.
// Nothing when the text is more than one simple command (a pipe, list, redirection, subshell or
// command substitution) or its quoting is unfinished: such a command is the user's own script.
std::optional<std::vector<std::string>> shellWords(std::string_view command);

// Whether an argv runs this project's hook for the agent named `agent`: the glowticker-hook program
// (by its file name, wherever it lives), or glowticker / glowticker-cli with the `hook` subcommand,
// with `--agent <agent>` as the hook itself reads its arguments. Leading NAME=VALUE words are skipped.
bool isOurArgv(std::string_view agent, const std::vector<std::string>& argv);
// The same for a command line that the agent runs through the shell.
bool isOurCommand(std::string_view agent, std::string_view shellCommand);
// Whether a hook entry under `event` that runs `command` is ours: one of the `events` we install.
bool isOurEntry(std::string_view agent, std::span<const std::string_view> events, std::string_view event,
                std::string_view command);

}  // namespace gt::hook_identity

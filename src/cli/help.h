#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace gt::cli {

// Exit statuses every command shares; `status` adds its own two.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitOffline = 3;   // status: paired, the phone does not answer
inline constexpr int kExitUnpaired = 4;  // status: no pairing

// `glowticker --help`: the commands, the options and the exit statuses.
std::string usage();
// `glowticker COMMAND --help`; nullopt for a word that is no command.
std::optional<std::string> commandHelp(std::string_view command);
// Whether the words after a command ask for its help.
bool asksForHelp(int argc, char** argv);

}  // namespace gt::cli

#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/common/result.h"

namespace gt::cli {

// "--name value" options and positional words after the command word.
struct Args {
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;

  bool has(const std::string& name) const { return options.count(name) != 0; }
  std::optional<std::string> get(const std::string& name) const {
    auto it = options.find(name);
    if (it == options.end()) return std::nullopt;
    return it->second;
  }
};

// `allowed` lists option names without the leading dashes; `flags` those that take no value. Unknown or
// repeated options and a missing value fail, for the caller to report with its usage.
enum class ArgsProblem { unknownOption, repeated, missingValue };
Result<Args, Problem<ArgsProblem>> parseArgs(int argc, char** argv, const std::vector<std::string>& allowed,
                                             const std::vector<std::string>& flags = {});

}  // namespace gt::cli

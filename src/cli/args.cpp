#include "cli/args.h"

#include <algorithm>

namespace gt::cli {

Result<Args, Problem<ArgsProblem>> parseArgs(int argc, char** argv, const std::vector<std::string>& allowed,
                                             const std::vector<std::string>& flags) {
  Args args;
  auto contains = [](const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
  };
  for (int i = 0; i < argc; ++i) {
    std::string word = argv[i];
    if (word.size() > 2 && word.rfind("--", 0) == 0) {
      std::string name = word.substr(2), value;
      bool inlineValue = false;
      if (auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
        inlineValue = true;
      }
      if (!contains(allowed, name) && !contains(flags, name))
        return fail(ArgsProblem::unknownOption, "unknown option --" + name);
      if (args.has(name)) return fail(ArgsProblem::repeated, "option --" + name + " given twice");
      if (contains(flags, name)) {
        args.options[name] = "";
        continue;
      }
      if (!inlineValue) {
        if (i + 1 >= argc) return fail(ArgsProblem::missingValue, "option --" + name + " needs a value");
        value = argv[++i];
      }
      args.options[name] = value;
    } else {
      args.positional.push_back(word);
    }
  }
  return args;
}

}  // namespace gt::cli

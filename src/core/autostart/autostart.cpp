#include "core/autostart/autostart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "core/common/file_io.h"
#include "core/common/paths.h"

namespace gt {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kEntryName = "glowticker.desktop";
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
constexpr std::size_t kMaxEntryBytes = 64 * 1024;  // a real entry is a few hundred bytes

fs::path configHome() {
  // Relative values are invalid per the XDG base directory rules and must be ignored.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
  return homeDir() / ".config";
}

std::string trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return std::string(s);
}

// The entry's text and where the keys of its [Desktop Entry] group sit; localized keys
// (Name[zh_CN]) are skipped.
struct EntryText {
  std::string text;
  struct Key {
    std::string name, value;
    std::size_t valueBegin = 0, valueEnd = 0;  // the raw value's bytes in text
  };
  std::vector<Key> keys;
  std::size_t groupEnd = std::string::npos;  // just after the [Desktop Entry] header line
  mode_t mode = 0644;
  const Key* find(std::string_view name) const {
    const Key* last = nullptr;
    for (const Key& k : keys)
      if (k.name == name) last = &k;
    return last;
  }
};

std::optional<EntryText> readEntry(const fs::path& path) {
  auto file = readFileBounded(path, kMaxEntryBytes);
  if (!file) return std::nullopt;
  EntryText e;
  e.text = std::move(file->text);
  e.mode = file->mode;
  bool inMain = false;
  for (std::size_t start = 0; start < e.text.size();) {
    std::size_t lf = e.text.find('\n', start);
    std::size_t stop = lf == std::string::npos ? e.text.size() : lf;
    std::string_view line(e.text.data() + start, stop - start);
    std::size_t next = lf == std::string::npos ? e.text.size() : lf + 1;
    std::string t = trim(line);
    if (!t.empty() && t[0] == '[') {
      inMain = t == "[Desktop Entry]";
      if (inMain) e.groupEnd = next;
    } else if (inMain && !t.empty() && t[0] != '#') {
      std::size_t eq = line.find('=');
      std::string key = eq == std::string_view::npos ? "" : trim(line.substr(0, eq));
      if (!key.empty() && key.find('[') == std::string::npos) {
        std::size_t vb = eq + 1;
        while (vb < line.size() && (line[vb] == ' ' || line[vb] == '\t')) ++vb;
        std::string value = trim(line.substr(vb));
        e.keys.push_back({key, value, start + vb, start + vb + value.size()});
      }
    }
    start = next;
  }
  return e;
}

// One argument of an Exec value and where its raw bytes are.
struct ExecArg {
  std::string text;
  std::size_t begin = 0, end = 0;  // offsets in the raw value
};

// Splits a raw Exec value into arguments: the string escapes (\s \\ ...) first, then the Exec
// quoting ("..." with \" \` \$ \\, %% for %). Nothing when a quote is left open.
std::optional<std::vector<ExecArg>> execArgs(std::string_view raw) {
  std::vector<std::pair<char, std::size_t>> chars;  // unescaped characters with their raw offsets
  for (std::size_t i = 0; i < raw.size(); ++i) {
    std::size_t at = i;
    char c = raw[i];
    if (c == '\\' && i + 1 < raw.size()) {
      char n = raw[++i];
      switch (n) {
        case 's':
          c = ' ';
          break;
        case 'n':
          c = '\n';
          break;
        case 't':
          c = '\t';
          break;
        case 'r':
          c = '\r';
          break;
        case '\\':
          c = '\\';
          break;
        default:  // not a string escape: both characters stand
          chars.emplace_back('\\', at);
          c = n;
      }
    }
    chars.emplace_back(c, at);
  }
  std::vector<ExecArg> args;
  std::size_t i = 0;
  auto rawEnd = [&](std::size_t k) { return k < chars.size() ? chars[k].second : raw.size(); };
  while (i < chars.size()) {
    if (chars[i].first == ' ' || chars[i].first == '\t') {
      ++i;
      continue;
    }
    ExecArg arg;
    arg.begin = chars[i].second;
    if (chars[i].first == '"') {
      bool closed = false;
      for (++i; i < chars.size(); ++i) {
        char c = chars[i].first;
        if (c == '\\' && i + 1 < chars.size()) {
          arg.text += chars[++i].first;
        } else if (c == '"') {
          closed = true;
          ++i;
          break;
        } else {
          arg.text += c;
        }
      }
      if (!closed) return std::nullopt;
    } else {
      for (; i < chars.size() && chars[i].first != ' ' && chars[i].first != '\t'; ++i) arg.text += chars[i].first;
    }
    arg.end = rawEnd(i);
    std::string plain;
    for (std::size_t k = 0; k < arg.text.size(); ++k) {
      plain += arg.text[k];
      if (arg.text[k] == '%' && k + 1 < arg.text.size() && arg.text[k + 1] == '%') ++k;
    }
    arg.text = plain;
    args.push_back(std::move(arg));
  }
  return args;
}

// The argument that names the program: the first one, or the one after `env NAME=VALUE ...`.
std::optional<ExecArg> programArg(std::string_view raw) {
  std::optional<std::vector<ExecArg>> args = execArgs(raw);
  if (!args || args->empty()) return std::nullopt;
  std::size_t i = 0;
  if (fs::path((*args)[0].text).filename() == "env") {
    for (i = 1; i < args->size() && (*args)[i].text.find('=') != std::string::npos && (*args)[i].text[0] != '='; ++i) {
    }
    if (i == args->size()) return std::nullopt;
  }
  if ((*args)[i].text.empty()) return std::nullopt;
  return (*args)[i];
}

// A bare program name is found the way the session's launcher finds it: in PATH.
std::optional<fs::path> resolve(const fs::path& program) {
  if (program.native().find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t colon = std::min(dirs.find(':', start), dirs.size());
    fs::path candidate = fs::path(std::string(dirs.substr(start, colon - start))) / program;
    if (colon > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = colon + 1;
  }
  return std::nullopt;
}

// Byte ranges of an entry's text to replace, applied back to front so that the offsets stay valid.
struct Edit {
  std::size_t at, length;
  std::string with;
};

std::string applied(std::string text, std::vector<Edit> edits) {
  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.at > b.at; });
  for (const Edit& e : edits) text.replace(e.at, e.length, e.with);
  return text;
}

// Puts `exe` in place of the program the entry's Exec runs, or adds an Exec line under the group header
// when there is none; nothing when the Exec value cannot be read.
std::optional<Edit> programEdit(const EntryText& e, const std::string& exe) {
  const EntryText::Key* exec = e.find("Exec");
  if (!exec) {
    std::string eol = e.groupEnd >= 2 && e.text[e.groupEnd - 2] == '\r' ? "\r\n" : "\n";
    std::string line = "Exec=" + exe + eol;
    if (e.groupEnd == e.text.size() && !e.text.empty() && e.text.back() != '\n') line = eol + line;
    return Edit{e.groupEnd, 0, line};
  }
  std::optional<ExecArg> program = programArg(exec->value);
  if (!program) return std::nullopt;
  return Edit{exec->valueBegin + program->begin, program->end - program->begin, exe};
}

bool isRunnable(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
}

std::string entryText(const std::string& exec) {
  std::ostringstream o;
  o << "[Desktop Entry]\n"
       "Type=Application\n"
       "Name=Glowticker\n"
       "Comment=Glowticker desktop companion in the system tray\n"
       "Comment[zh_CN]=Glowticker 桌面伴侣：配对手机，接收编码助手的通知\n"
       "Exec="
    << exec
    << "\n"
       "Icon=glowticker\n"
       "Terminal=false\n"
       "X-GNOME-Autostart-enabled=true\n";
  return o.str();
}

}  // namespace

Autostart::Autostart() : Autostart(configHome()) {}

Autostart::Autostart(std::filesystem::path configDir) : entryPath_(std::move(configDir) / "autostart" / kEntryName) {}

std::string Autostart::execValue(const fs::path& program) {
  const std::string& s = program.native();
  std::string arg;
  bool quote = false;
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return {};
    if (kReserved.find(c) != std::string_view::npos) quote = true;
  }
  if (s.empty()) return {};
  for (char c : s) {
    if (c == '%') {
      arg += "%%";  // a lone % would start a field code
    } else if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
      arg += '\\';
      arg += c;
    } else {
      arg += c;
    }
  }
  if (quote) arg = '"' + arg + '"';
  // Every backslash is escaped once more by the string-value rules.
  std::string out;
  for (char c : arg) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::optional<std::string> Autostart::programOf(const std::string& rawValue) {
  std::optional<ExecArg> program = programArg(rawValue);
  return program ? std::optional<std::string>(program->text) : std::nullopt;
}

Result<Autostart::Enabled, Problem<Autostart::EnableProblem>> Autostart::enable(const fs::path& appPath) const {
  const auto notWritten = [this](const std::string& why) {
    return fail(EnableProblem::notWritten,
                "Cannot write the autostart entry " + entryPath_.string() + ": " + why + ".");
  };
  if (!appPath.is_absolute())
    return fail(EnableProblem::badAppPath, "The app path '" + appPath.string() + "' is not absolute.");
  std::string exec = execValue(appPath);
  if (exec.empty())
    return fail(EnableProblem::badAppPath,
                "The app path '" + appPath.string() + "' contains control characters; move the app to a plain path.");
  Status st = status();
  if (st.exists) {
    // The user's entry, perhaps with a delay, a scale factor or a desktop of their own: changed only where
    // it would not start the app.
    std::optional<EntryText> entry = readEntry(entryPath_);
    if (!entry || entry->groupEnd == std::string::npos)
      return fail(EnableProblem::unreadableEntry,
                  "The autostart entry " + entryPath_.string() + " cannot be read; it is left as it is.");
    if (!st.ours && entry->find("Exec"))
      return fail(EnableProblem::othersEntry,
                  "The autostart entry " + entryPath_.string() + " runs " +
                      (st.target ? st.target->string() : "a command this program cannot read") +
                      ", not glowticker-app; it is left as it is (remove it to have this one written).");
    Enabled did;
    std::vector<Edit> edits;
    if (!st.targetRunnable) {
      edits.push_back(*programEdit(*entry, exec));
      did.pathReplaced = true;
    }
    for (const EntryText::Key& k : entry->keys)
      if ((k.name == "Hidden" && k.value == "true") || (k.name == "X-GNOME-Autostart-enabled" && k.value == "false")) {
        edits.push_back({k.valueBegin, k.valueEnd - k.valueBegin, k.name == "Hidden" ? "false" : "true"});
        did.switchedBackOn = true;
      }
    if (edits.empty()) return did;
    auto written = replaceFileAtomically(entryPath_, applied(entry->text, edits), {entry->mode & 07777, {}});
    if (!written) return notWritten(std::make_error_code(written.error().kind).message());
    return did;
  }
  fs::path dir = entryPath_.parent_path();
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    fs::create_directories(dir, ec);
    if (ec)
      return fail(EnableProblem::notWritten, "Cannot create the folder " + dir.string() + ": " + ec.message() + ".");
    // Private like the XDG base directories it lives in.
    fs::permissions(dir, fs::perms::owner_all, ec);
    ec.clear();
  }
  // Readable by others like every desktop file.
  auto written = replaceFileAtomically(entryPath_, entryText(exec), {0644, {}});
  if (!written) return notWritten(std::make_error_code(written.error().kind).message());
  return Enabled{true, false, false};
}

Result<Autostart::Disabled, FileProblem> Autostart::disable() const {
  Status st = status();
  if (st.exists && !st.ours) return Disabled::leftAlone;
  std::error_code ec;
  if (!fs::remove(entryPath_, ec) && ec) return fail(std::errc(ec.value()), entryPath_.string());
  return Disabled::removed;
}

Autostart::Status Autostart::status() const {
  Status st;
  st.entryPath = entryPath_;
  std::error_code ec;
  st.exists = fs::exists(entryPath_, ec);
  if (!st.exists) return st;
  std::optional<EntryText> entry = readEntry(entryPath_);
  if (!entry) return st;
  const EntryText::Key* exec = entry->find("Exec");
  std::optional<ExecArg> program = exec ? programArg(exec->value) : std::nullopt;
  if (program) st.target = fs::path(program->text);
  st.ours = st.target && st.target->filename() == "glowticker-app";
  const EntryText::Key* hidden = entry->find("Hidden");
  const EntryText::Key* gnome = entry->find("X-GNOME-Autostart-enabled");
  st.switchedOff = (hidden && hidden->value == "true") || (gnome && gnome->value == "false");
  st.enabled = st.ours && !st.switchedOff;
  std::optional<fs::path> found = st.target ? resolve(*st.target) : std::nullopt;
  st.targetRunnable = found && found->is_absolute() && isRunnable(*found);
  return st;
}

Autostart::Repair Autostart::repairIfMoved(const fs::path& currentAppPath) const {
  Status st = status();
  if (!st.exists || st.switchedOff || st.targetRunnable) return Repair::notNeeded;
  std::optional<EntryText> entry = readEntry(entryPath_);
  // Someone else's entry, or one we cannot read; one without Exec runs nothing and gets ours.
  if (!entry || entry->groupEnd == std::string::npos || (!st.ours && entry->find("Exec"))) return Repair::notNeeded;
  std::string exe = execValue(currentAppPath);
  if (exe.empty() || !currentAppPath.is_absolute()) return Repair::failed;
  std::string text = applied(entry->text, {*programEdit(*entry, exe)});
  return replaceFileAtomically(entryPath_, text, {entry->mode & 07777, {}}) ? Repair::repaired : Repair::failed;
}

}  // namespace gt

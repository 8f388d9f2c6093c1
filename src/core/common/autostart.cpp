#include "core/common/autostart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The general string-value escapes of desktop entries: \s \n \t \r \\.
std::string unescapeValue(std::string_view v) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\' || i + 1 == v.size()) {
      out += v[i];
      continue;
    }
    switch (char c = v[++i]) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      default:
        out += '\\';
        out += c;
        break;
    }
  }
  return out;
}

// Keys of the [Desktop Entry] group; localized keys (Name[zh_CN]) are skipped.
std::optional<std::vector<std::pair<std::string, std::string>>> readEntry(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> keys;
  std::string line;
  std::size_t total = 0;
  bool inMain = false;
  while (std::getline(in, line)) {
    total += line.size() + 1;
    if (total > kMaxEntryBytes) return std::nullopt;
    std::string t = trim(line);
    if (t.empty() || t[0] == '#') continue;
    if (t[0] == '[') {
      inMain = t == "[Desktop Entry]";
      continue;
    }
    if (!inMain) continue;
    auto eq = t.find('=');
    if (eq == std::string::npos) continue;
    std::string key = trim(std::string_view(t).substr(0, eq));
    if (key.find('[') != std::string::npos) continue;
    keys.emplace_back(key, trim(std::string_view(t).substr(eq + 1)));
  }
  return keys;
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
  std::string v = unescapeValue(rawValue);
  std::string arg;
  std::size_t i = 0;
  while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
  if (i == v.size()) return std::nullopt;
  if (v[i] == '"') {
    bool closed = false;
    for (++i; i < v.size(); ++i) {
      if (v[i] == '\\' && i + 1 < v.size()) {
        arg += v[++i];
      } else if (v[i] == '"') {
        closed = true;
        break;
      } else {
        arg += v[i];
      }
    }
    if (!closed) return std::nullopt;
  } else {
    for (; i < v.size() && v[i] != ' ' && v[i] != '\t'; ++i) arg += v[i];
  }
  std::string out;
  for (std::size_t k = 0; k < arg.size(); ++k) {
    out += arg[k];
    if (arg[k] == '%' && k + 1 < arg.size() && arg[k + 1] == '%') ++k;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

std::error_code Autostart::enable(const fs::path& appPath, std::string* problem) const {
  auto fail = [&](std::error_code ec, std::string text) {
    if (problem) *problem = std::move(text);
    return ec;
  };
  if (!appPath.is_absolute())
    return fail(std::make_error_code(std::errc::invalid_argument),
                "The app path '" + appPath.string() + "' is not absolute.");
  std::string exec = execValue(appPath);
  if (exec.empty())
    return fail(std::make_error_code(std::errc::invalid_argument),
                "The app path '" + appPath.string() + "' contains control characters; move the app to a plain path.");
  std::error_code ec;
  fs::path dir = entryPath_.parent_path();
  if (!fs::is_directory(dir, ec)) {
    fs::create_directories(dir, ec);
    if (ec) return fail(ec, "Cannot create the folder " + dir.string() + ": " + ec.message() + ".");
    // Private like the XDG base directories it lives in.
    fs::permissions(dir, fs::perms::owner_all, ec);
    ec.clear();
  }
  // Readable by others like every desktop file.
  ec = replaceFileAtomically(entryPath_, entryText(exec), {0644, {}});
  if (ec) return fail(ec, "Cannot write the autostart entry " + entryPath_.string() + ": " + ec.message() + ".");
  return {};
}

std::error_code Autostart::disable() const {
  std::error_code ec;
  fs::remove(entryPath_, ec);
  return ec;
}

Autostart::Status Autostart::status() const {
  Status st;
  st.entryPath = entryPath_;
  std::error_code ec;
  if (!fs::exists(entryPath_, ec)) return st;
  auto keys = readEntry(entryPath_);
  if (!keys) return st;
  bool hidden = false, gnomeOff = false;
  for (const auto& [k, v] : *keys) {
    if (k == "Exec") {
      auto program = programOf(v);
      st.target = program ? std::optional<fs::path>(*program) : std::nullopt;
    }
    if (k == "Hidden" && v == "true") hidden = true;
    if (k == "X-GNOME-Autostart-enabled" && v == "false") gnomeOff = true;
  }
  st.enabled = !hidden && !gnomeOff && st.target.has_value();
  st.targetRunnable = st.target && st.target->is_absolute() && isRunnable(*st.target);
  return st;
}

Autostart::Repair Autostart::repairIfMoved(const fs::path& currentAppPath) const {
  Status st = status();
  std::error_code ec;
  if (!fs::exists(entryPath_, ec)) return Repair::notNeeded;
  // A switched-off entry (Hidden or GNOME's flag) stays the user's choice.
  if (!st.enabled && st.target) return Repair::notNeeded;
  if (st.targetRunnable) return Repair::notNeeded;
  return enable(currentAppPath) ? Repair::failed : Repair::repaired;
}

}  // namespace gt

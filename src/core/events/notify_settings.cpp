#include "core/events/notify_settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/common/file_io.h"
#include "core/common/private_dir.h"

namespace gt {

namespace {
constexpr std::size_t kMaxFileBytes = 64 * 1024;
}

SettingsStore::SettingsStore(std::filesystem::path file) : file_(std::move(file)) {}

Result<void, Problem<SettingsProblem>> SettingsStore::load() {
  auto read = readFileBounded(file_, kMaxFileBytes);
  std::lock_guard<std::mutex> g(mutex_);
  settings_ = {};
  doc_ = nlohmann::json::object();
  moveAside_ = false;
  if (!read && read.error().kind == ReadProblem::missing) return {};
  std::string problem;
  auto kind = SettingsProblem::unreadable;
  if (!read) {
    problem = read.error().kind == ReadProblem::tooLarge     ? "larger than 64 KiB"
              : read.error().kind == ReadProblem::notRegular ? "not a regular file"
                                                             : read.error().detail;
  } else {
    nlohmann::json doc = nlohmann::json::parse(read->text, nullptr, /*allow_exceptions=*/false);
    kind = SettingsProblem::malformed;
    if (!doc.is_object()) {
      problem = "not a JSON object";
    } else if (auto quiet = doc.find(kQuietKey); quiet != doc.end() && !quiet->is_boolean()) {
      problem = std::string("\"") + kQuietKey + "\" is not true or false";
    } else {
      if (quiet != doc.end()) settings_.quietWhenInFront = quiet->get<bool>();
      doc_ = std::move(doc);
      return {};
    }
  }
  moveAside_ = read || read.error().kind != ReadProblem::notRegular;  // a folder or FIFO there is not ours to move
  return fail(kind, file_.string() + " not used (" + problem + "); defaults apply until a setting is changed");
}

NotifySettings SettingsStore::get() const {
  std::lock_guard<std::mutex> g(mutex_);
  return settings_;
}

void SettingsStore::set(const NotifySettings& settings) {
  std::lock_guard<std::mutex> g(mutex_);
  settings_ = settings;
  doc_[kQuietKey] = settings.quietWhenInFront;
}

Result<void, Problem<SettingsProblem>> SettingsStore::save() {
  std::lock_guard<std::mutex> one(saving_);
  std::string text;
  bool moveAside;
  {
    std::lock_guard<std::mutex> g(mutex_);
    text = doc_.dump(2) + "\n";
    moveAside = moveAside_;
  }
  if (auto made = ensurePrivateDir(file_.parent_path()); !made)
    return fail(SettingsProblem::notSaved, made.error().detail);
  if (moveAside) {
    std::filesystem::path bad = file_;
    bad += ".bad";
    if (std::rename(file_.c_str(), bad.c_str()) != 0 && errno != ENOENT)
      return fail(SettingsProblem::notSaved,
                  "cannot move the unreadable " + file_.string() + " aside: " + std::strerror(errno));
    std::lock_guard<std::mutex> g(mutex_);
    moveAside_ = false;
  }
  if (auto written = replaceFileAtomically(file_, text); !written)
    return fail(SettingsProblem::notSaved,
                "cannot write " + file_.string() + ": " + std::make_error_code(written.error().kind).message());
  return {};
}

}  // namespace gt

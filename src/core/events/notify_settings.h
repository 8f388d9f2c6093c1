#pragma once
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "core/common/result.h"

namespace gt {

// The user's choices about notifications.
struct NotifySettings {
  bool quietWhenInFront = false;  // "终端在前台时不提醒"
};

// Why the settings file was not used or not written; the detail is one line naming the file.
enum class SettingsProblem { unreadable, malformed, notSaved };

// ~/.glowticker/settings.json, its own file beside the pairing: a JSON object, mode 0600, replaced
// atomically in a private folder. Keys it does not know are kept. Thread-safe.
class SettingsStore {
 public:
  static constexpr const char* kQuietKey = "quiet_when_terminal_in_front";

  explicit SettingsStore(std::filesystem::path file);

  const std::filesystem::path& file() const { return file_; }
  // Reads the file. A missing file gives the defaults. A file that cannot be read or is not such an
  // object gives the defaults too and stays as it is until the next save, which first moves it aside
  // to "<file>.bad", so the user's text is never lost unseen; the failure says why it was not used.
  Result<void, Problem<SettingsProblem>> load();
  NotifySettings get() const;
  // In memory only; save() writes it.
  void set(const NotifySettings& settings);
  // Writes the settings as they are now (a later set() wins over an earlier save still running).
  Result<void, Problem<SettingsProblem>> save();

 private:
  const std::filesystem::path file_;
  mutable std::mutex mutex_;  // guards the fields below
  NotifySettings settings_;
  nlohmann::json doc_ = nlohmann::json::object();  // the file's object, with keys of others
  bool moveAside_ = false;  // the file on disk did not read as settings
  std::mutex saving_;       // one write at a time
};

}  // namespace gt

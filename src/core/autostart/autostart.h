#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "core/common/file_io.h"

namespace gt {

// The XDG autostart entry that starts the tray app at login:
// $XDG_CONFIG_HOME/autostart/glowticker.desktop (~/.config/autostart when XDG_CONFIG_HOME is unset,
// empty or relative). The entry names the app by absolute path, so it keeps working whatever PATH the
// session has; a moved app is fixed by repairIfMoved() at the app's next start.
class Autostart {
 public:
  struct Status {
    bool enabled = false;                         // the entry exists, is ours and the desktop will run it
    std::filesystem::path entryPath;              // where the entry is (or would be)
    bool exists = false;                          // an entry is there (readable or not)
    bool ours = false;                            // its Exec runs glowticker-app (after any `env NAME=VALUE`)
    bool switchedOff = false;                     // Hidden=true or X-GNOME-Autostart-enabled=false
    std::optional<std::filesystem::path> target;  // the program its Exec line runs, when readable
    bool targetRunnable = false;                  // target is an executable regular file (searched in PATH
                                                  // when it is a bare name)
  };

  enum class Repair { notNeeded, repaired, failed };
  // What enable() did: wrote a new entry, or kept the user's entry, changing at most its switch
  // (turned back on) and its gone app's path.
  struct Enabled {
    bool written = false, switchedBackOn = false, pathReplaced = false;
  };
  // Why enable() changed nothing; the detail is one sentence the user can act on.
  enum class EnableProblem { badAppPath, unreadableEntry, othersEntry, notWritten };
  // What disable() did: removed our entry (or found none), or left another program's entry alone.
  enum class Disabled { removed, leftAlone };

  // Uses the environment's XDG_CONFIG_HOME / HOME.
  Autostart();
  // Uses `configDir`/autostart/glowticker.desktop.
  explicit Autostart(std::filesystem::path configDir);

  const std::filesystem::path& entryPath() const { return entryPath_; }

  // Writes the entry atomically (temporary file in the same folder, then rename), unless there is one:
  // an entry that starts glowticker-app stays byte for byte but for its switch keys (Hidden,
  // X-GNOME-Autostart-enabled), turned back on, and the app's path, replaced by `appPath` when that
  // program is gone; an entry that runs another program is refused and left. `appPath` must be
  // absolute.
  Result<Enabled, Problem<EnableProblem>> enable(const std::filesystem::path& appPath) const;
  // Removes the entry if it starts glowticker-app; removing an absent entry succeeds. Another
  // program's entry, or one whose Exec cannot be read, is left alone.
  Result<Disabled, FileProblem> disable() const;
  Status status() const;
  // When our entry's glowticker-app is gone or no longer executable (the app was moved or
  // reinstalled elsewhere), puts `currentAppPath` in its place inside Exec; every other byte of the
  // entry stays. An entry without Exec gets one. Left alone: an entry that runs another program, one
  // the user switched off, and one that names another working copy (a development build beside an
  // installed one).
  Repair repairIfMoved(const std::filesystem::path& currentAppPath) const;

  // The Exec value for a program path, quoted per the Desktop Entry rules when it needs to be; empty
  // when the path holds characters an Exec line cannot carry (control characters).
  static std::string execValue(const std::filesystem::path& program);
  // The program an Exec value runs (its first argument, or the one after `env NAME=VALUE ...`), or
  // nullopt when the value is malformed.
  static std::optional<std::string> programOf(const std::string& execValue);

 private:
  std::filesystem::path entryPath_;
};

}  // namespace gt

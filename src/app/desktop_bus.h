#pragma once
#include <QObject>
#include <functional>

#include "core/common/instance_lock.h"

namespace gt {

// The running app's door on the session bus: the well-known name io.glowticker.Desktop with a method
// ShowPanel, so a second start (or the desktop) can bring up the panel of the copy that already runs.
// A copy runs when the instance lock is taken or, should the lock file have gone, when the name is: the
// name is per session, the lock per home directory, and there may be no session bus at all.
class DesktopBus : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "io.glowticker.Desktop")
 public:
  static constexpr const char* kService = "io.glowticker.Desktop";
  static constexpr const char* kPath = "/io/glowticker/Desktop";
  static constexpr int kCallTimeoutMs = 2000;

  explicit DesktopBus(std::function<void()> showPanel, QObject* parent = nullptr);

  // Publishes the object and takes the name, unless another copy holds it (anotherRuns); cannotTell when
  // there is no session bus or it refused.
  Result<void, Problem<OneCopyProblem>> publish();

  // Asks the copy that owns the name to show its panel; false when nothing answered in time.
  static bool askToShowPanel();

 public slots:
  Q_SCRIPTABLE void ShowPanel();

 private:
  std::function<void()> showPanel_;
};

}  // namespace gt

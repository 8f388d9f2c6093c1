#pragma once
#include <QString>
#include <QThreadPool>
#include <functional>
#include <string>
#include <vector>

#include "core/discovery/discovery.h"
#include "core/hooks/agent_id.h"
#include "core/hooks/hook_installer.h"

namespace gt {

// What the panel's views use of the world. Built once by main and handed down; views never build
// platform services themselves. The three functions marked "pool" run on `pool` and must be safe there,
// also several at once.
struct PanelServices {
  QThreadPool* pool = nullptr;                       // work the UI starts
  std::function<DeviceSearch()> discover;            // pool
  std::function<HookResult(AgentID, bool)> setHook;  // pool
  std::function<bool(AgentID)> isInstalled;          // pool
  std::function<void()> openConfigDir;
  std::function<void()> quit;
  QString quietUnavailable;  // why the quiet switch cannot work on this desktop; empty where it can
};

}  // namespace gt

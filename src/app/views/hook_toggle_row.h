#pragma once
#include <QWidget>
#include <functional>

#include "app/views/hook_toggle_flow.h"
#include "core/hooks/agent_id.h"
#include "core/hooks/hook_installer.h"

class QCheckBox;
class QFutureWatcherBase;

// One agent's hook switch. Reads the installed state whenever it is shown, runs the installer off the
// UI thread when the user flips it, and reports the outcome through the two callbacks.
class HookToggleRow : public QWidget {
  Q_OBJECT
 public:
  // Both run on a pool thread and must be safe to call there, also for different agents at once.
  using SetHookFn = std::function<gt::HookResult(gt::AgentID, bool)>;
  using IsInstalledFn = std::function<bool(gt::AgentID)>;
  using TextFn = std::function<void(const QString&)>;

  HookToggleRow(gt::AgentID agent, TextFn onResult, TextFn onError, SetHookFn setHook, IsInstalledFn isInstalled,
                QWidget* parent = nullptr);
  ~HookToggleRow() override;

  // "Codex", "Claude", "Kimi": the raw value with each word's first letter in upper case.
  static QString labelFor(gt::AgentID agent);
  // One line per report, "agent: action" plus " (备份: backup)" when there is a backup, joined by line
  // feeds; a non-empty note follows after one more line feed.
  static QString reportText(const gt::HookSuccess& success);
  // "<agent> 操作失败：<description>".
  static QString errorText(gt::AgentID agent, const gt::HookError& error);

  gt::AgentID agent() const { return agent_; }
  bool switchOn() const;  // what the switch shows (the row's `enabled`)
  bool busy() const { return busy_; }
  bool reading() const { return reading_; }
  const HookToggleFlow& flow() const { return flow_; }
  QCheckBox* checkBox() const { return box_; }

  // Reads the installed state again (off the UI thread); done automatically on every show.
  void readState();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void onEnabledChanged(bool v);
  void applyChange(bool v);
  void updateControl();

  gt::AgentID agent_;
  TextFn onResult_;
  TextFn onError_;
  SetHookFn setHook_;
  IsInstalledFn isInstalled_;

  bool busy_ = false;     // a change is running
  bool reading_ = false;  // the installed state is being read; the switch waits for it
  HookToggleFlow flow_;
  QCheckBox* box_ = nullptr;
};

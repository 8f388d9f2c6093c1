#pragma once
#include <QWidget>
#include <functional>

#include "app/panel_services.h"
#include "app/views/hook_toggle_flow.h"
#include "core/hooks/agent_id.h"
#include "core/hooks/hook_installer.h"

class QCheckBox;

namespace gt {

// One agent's hook switch. Reads the installed state whenever it is shown, runs the installer off the
// UI thread when the user flips it, and reports the outcome through the two callbacks.
class HookToggleRow : public QWidget {
  Q_OBJECT
 public:
  using TextFn = std::function<void(const QString&)>;

  // Uses the services' pool, setHook and isInstalled; the pool must outlive the row.
  HookToggleRow(AgentID agent, TextFn onResult, TextFn onError, const PanelServices& services,
                QWidget* parent = nullptr);
  ~HookToggleRow() override;

  // "Codex", "Claude", "Kimi": the raw value with each word's first letter in upper case.
  static QString labelFor(AgentID agent);
  // One line per report, "agent: action" plus " (备份: backup)" when there is a backup, joined by line
  // feeds; a non-empty note follows after one more line feed.
  static QString reportText(const HookSuccess& success);
  // "<agent> 操作失败：<description>".
  static QString errorText(AgentID agent, const HookError& error);

  AgentID agent() const { return agent_; }
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

  AgentID agent_;
  TextFn onResult_;
  TextFn onError_;
  PanelServices services_;

  bool busy_ = false;     // a change is running
  bool reading_ = false;  // the installed state is being read; the switch waits for it
  HookToggleFlow flow_;
  QCheckBox* box_ = nullptr;
};

}  // namespace gt

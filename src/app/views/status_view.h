#pragma once
#include <QWidget>
#include <optional>
#include <vector>

#include "app/panel_services.h"
#include "app/views/hook_toggle_row.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QScrollArea;

namespace gt {

class AppState;

// The panel's content once a pairing exists: link state and address, one hook switch per agent with
// the last report and the last failure, the last events (a click brings back the agent's terminal) with
// the quiet switch, and the commands open folder, unpair and quit.
class StatusView : public QWidget {
  Q_OBJECT
 public:
  // `state` and the services' pool must outlive the view.
  StatusView(AppState* state, const PanelServices& services, QWidget* parent = nullptr);
  ~StatusView() override;

  // "host  ws=W http=H".
  static QString addressText(const std::string& host, std::int64_t wsPort, std::int64_t httpPort);

  // View state, for tests.
  const std::optional<QString>& installResult() const { return installResult_; }
  const std::optional<QString>& hookError() const { return hookError_; }
  HookToggleRow* row(AgentID agent) const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void renderLink();
  void renderReports();
  void renderRecent();

  AppState* state_;
  PanelServices services_;
  std::optional<QString> installResult_;
  std::optional<QString> hookError_;

  QLabel* dot_ = nullptr;
  QLabel* linkLabel_ = nullptr;
  QLabel* addressLabel_ = nullptr;
  QLabel* intakeLabel_ = nullptr;
  std::vector<HookToggleRow*> rows_;  // in the order of allAgents()
  QScrollArea* resultBox_ = nullptr;
  QLabel* resultLabel_ = nullptr;
  QLabel* errorLabel_ = nullptr;
  QListWidget* recentList_ = nullptr;
  QLabel* recentEmpty_ = nullptr;
  QCheckBox* quietSwitch_ = nullptr;
};

}  // namespace gt

#pragma once
#include <QUrl>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "app/views/hook_toggle_row.h"

class AppState;
class QLabel;
class QPushButton;
class QScrollArea;

// The panel's content once a pairing exists: link state and address, one hook switch per agent with
// the last report and the last failure, and the commands open folder, unpair and quit.
class StatusView : public QWidget {
  Q_OBJECT
 public:
  // Empty members take the defaults: HookInstaller{}.setHook, HookState::isInstalled (both run on a
  // pool thread), QDesktopServices::openUrl and QCoreApplication::quit.
  struct Services {
    HookToggleRow::SetHookFn setHook;
    HookToggleRow::IsInstalledFn isInstalled;
    std::function<void(const QUrl&)> openUrl;
    std::function<void()> quit;
  };

  explicit StatusView(AppState* state, Services services = {}, QWidget* parent = nullptr);
  ~StatusView() override;

  // "host  ws=W http=H".
  static QString addressText(const std::string& host, std::int64_t wsPort, std::int64_t httpPort);

  // View state, for tests.
  const std::optional<QString>& installResult() const { return installResult_; }
  const std::optional<QString>& hookError() const { return hookError_; }
  HookToggleRow* row(gt::AgentID agent) const;

 private:
  void renderLink();
  void renderReports();

  AppState* state_;
  Services services_;
  std::optional<QString> installResult_;
  std::optional<QString> hookError_;

  QLabel* dot_ = nullptr;
  QLabel* linkLabel_ = nullptr;
  QLabel* addressLabel_ = nullptr;
  std::vector<HookToggleRow*> rows_;  // in the order of gt::allAgents()
  QScrollArea* resultBox_ = nullptr;
  QLabel* resultLabel_ = nullptr;
  QLabel* errorLabel_ = nullptr;
};

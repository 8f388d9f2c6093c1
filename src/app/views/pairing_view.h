#pragma once
#include <QWidget>
#include <optional>
#include <string>
#include <vector>

#include "app/panel_services.h"
#include "core/discovery/dns_sd_backend.h"
#include "core/discovery/discovered_device.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace gt {

class AppState;

// The panel's content while nothing is paired: search the LAN, pick a device, type the phone's 4-digit
// code and pair through AppState. Holds only view state; a new view starts from scratch.
class PairingView : public QWidget {
  Q_OBJECT
 public:
  // `state` and the services' pool must outlive the view.
  PairingView(AppState* state, const PanelServices& services, QWidget* parent = nullptr);
  ~PairingView() override;

  // "name (model) @ host", or "name @ host" when the phone names no model.
  static QString entryText(const DiscoveredDevice& d);
  // Why the search could not look at the network, in the panel's words, with the command that mends it.
  static QString searchProblemText(BrowseProblem problem);

  // View state, for the panel root and tests.
  bool searching() const { return searching_; }
  bool busy() const { return busy_; }
  const std::vector<DiscoveredDevice>& devices() const { return devices_; }
  const std::optional<DiscoveredDevice>& selected() const { return selected_; }
  const QString& code() const { return code_; }
  const std::optional<QString>& error() const { return error_; }

 public slots:
  // Starts a search unless one is running; the result arrives on the UI thread.
  void browse();
  // Pairs with the selected device and the typed code; does nothing without a selection.
  void pair();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void onCodeEdited(const QString& text);
  void onPicked(int index);
  void onSearchDone(DeviceSearch result);
  void render();

  AppState* state_;
  PanelServices services_;
  bool started_ = false;  // the first appearance has started its search
  bool searchRunning_ = false;

  std::vector<DiscoveredDevice> devices_;
  bool searching_ = true;  // a search starts as soon as the view is shown
  std::optional<DiscoveredDevice> selected_;
  QString code_;
  bool busy_ = false;
  std::optional<QString> error_;
  std::optional<BrowseProblem> problem_;  // why the last search could not look at the network

  QWidget* searchingRow_ = nullptr;
  QLabel* noDeviceLabel_ = nullptr;
  QLabel* problemLabel_ = nullptr;
  QComboBox* picker_ = nullptr;
  QLineEdit* codeField_ = nullptr;
  QPushButton* pairButton_ = nullptr;
  QLabel* errorLabel_ = nullptr;
  QPushButton* rescanButton_ = nullptr;
  QPushButton* quitButton_ = nullptr;
};

}  // namespace gt

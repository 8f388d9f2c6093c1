#pragma once
#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/discovery/discovered_device.h"

class AppState;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The panel's content while nothing is paired: search the LAN, pick a device, type the phone's 4-digit
// code and pair through AppState. Holds only view state; a new view starts from scratch.
class PairingView : public QWidget {
  Q_OBJECT
 public:
  struct SearchResult {
    std::vector<gt::DiscoveredDevice> devices;
    std::string problem;  // why the network could not be searched (e.g. no avahi-daemon); empty when fine
  };
  // Runs on a pool thread; must be safe to call there.
  using DiscoverFn = std::function<SearchResult()>;
  using QuitFn = std::function<void()>;

  static constexpr int kSearchSeconds = 3;

  // Empty functions take the defaults: defaultDiscover() and QCoreApplication::quit.
  explicit PairingView(AppState* state, DiscoverFn discover = {}, QuitFn quit = {}, QWidget* parent = nullptr);
  ~PairingView() override;

  // A new Discovery over Avahi browsing kSearchSeconds, or the GLOWTICKER_FAKE_DEVICES list when that
  // variable is set (read now, on the calling thread).
  static DiscoverFn defaultDiscover();
  // "name (model or unknown) @ host".
  static QString entryText(const gt::DiscoveredDevice& d);

  // View state, for the panel root and tests.
  bool searching() const { return searching_; }
  bool busy() const { return busy_; }
  const std::vector<gt::DiscoveredDevice>& devices() const { return devices_; }
  const std::optional<gt::DiscoveredDevice>& selected() const { return selected_; }
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
  void onSearchDone(SearchResult result);
  void render();

  AppState* state_;
  DiscoverFn discover_;
  QuitFn quit_;
  bool started_ = false;       // the first appearance has started its search
  QObject* search_ = nullptr;  // the running search's watcher

  std::vector<gt::DiscoveredDevice> devices_;
  bool searching_ = true;  // a search starts as soon as the view is shown
  std::optional<gt::DiscoveredDevice> selected_;
  QString code_;
  bool busy_ = false;
  std::optional<QString> error_;
  std::string problem_;

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

#pragma once
#include <QWidget>

#include "app/panel_services.h"

class QVBoxLayout;

namespace gt {

class AppState;

// The panel's content: the pairing view while nothing usable is paired (conn is unpaired), the status
// view otherwise. Each view is built fresh whenever the branch changes, so it starts from its own initial
// state. Always kWidth pixels wide; its height follows the view.
class PanelRootView : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 320;

  // `state` and the services' pool must outlive the view; the services are handed to each view.
  PanelRootView(AppState* state, PanelServices services, QWidget* parent = nullptr);

  // The view currently shown: a PairingView or a StatusView.
  QWidget* current() const { return current_; }
  bool showingPairing() const { return showingPairing_; }

 signals:
  // A new child view replaced the old one.
  void viewChanged();

 private:
  void sync();

  AppState* state_;
  PanelServices services_;
  QVBoxLayout* layout_ = nullptr;
  QWidget* current_ = nullptr;
  bool showingPairing_ = false;
};

}  // namespace gt

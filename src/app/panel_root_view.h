#pragma once
#include <QWidget>

#include "app/views/pairing_view.h"
#include "app/views/status_view.h"

class AppState;
class QVBoxLayout;

// The panel's content: the pairing view while nothing usable is paired (conn is unpaired), the status
// view otherwise. Each view is built fresh whenever the branch changes, so it starts from its own initial
// state. Always kWidth pixels wide; its height follows the view.
class PanelRootView : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 320;

  // `state` must outlive the view. Empty discover/services take the views' defaults.
  explicit PanelRootView(AppState* state, PairingView::DiscoverFn discover = {}, StatusView::Services services = {},
                         QWidget* parent = nullptr);

  // The view currently shown: a PairingView or a StatusView.
  QWidget* current() const { return current_; }
  bool showingPairing() const { return showingPairing_; }

 signals:
  // A new child view replaced the old one.
  void viewChanged();

 private:
  void sync();

  AppState* state_;
  PairingView::DiscoverFn discover_;
  StatusView::Services services_;
  QVBoxLayout* layout_ = nullptr;
  QWidget* current_ = nullptr;
  bool showingPairing_ = false;
};

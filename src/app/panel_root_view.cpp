#include "app/panel_root_view.h"

#include <QVBoxLayout>
#include <cassert>

#include "app/app_state.h"
#include "app/views/pairing_view.h"
#include "app/views/status_view.h"

namespace gt {

PanelRootView::PanelRootView(AppState* state, PanelServices services, QWidget* parent)
    : QWidget(parent), state_(state), services_(std::move(services)) {
  assert(state_ && "PanelRootView needs the application state");
  setObjectName(QStringLiteral("panelRoot"));
  setFixedWidth(kWidth);
  layout_ = new QVBoxLayout(this);  // the style's default margins are the panel's padding
  layout_->setSpacing(0);
  layout_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  connect(state_, &AppState::connChanged, this, &PanelRootView::sync);
  sync();
}

void PanelRootView::sync() {
  // The choice follows conn alone: a record with an empty token, or the time before the first refresh,
  // still shows the pairing view.
  const bool pairing = state_->conn().kind == ConnState::Kind::unpaired;
  if (current_ && pairing == showingPairing_) return;
  if (current_) {
    layout_->removeWidget(current_);
    current_->hide();
    current_->deleteLater();  // may be inside one of its own slots (unpair) right now
  }
  if (pairing) {
    current_ = new PairingView(state_, services_, this);
  } else {
    current_ = new StatusView(state_, services_, this);
  }
  showingPairing_ = pairing;
  layout_->addWidget(current_);
  current_->show();
  emit viewChanged();
}

}  // namespace gt

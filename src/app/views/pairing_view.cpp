#include "app/views/pairing_view.h"
#include "app/shown_text.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "app/app_state.h"
#include "app/background.h"
#include "core/pairing/pairing_code.h"
#include "app/views/view_style.h"

namespace gt {
namespace {

QString filterCode(const QString& text) { return QString::fromStdString(PairingCode::filter(text.toStdString())); }

}  // namespace

PairingView::PairingView(AppState* state, const PanelServices& services, QWidget* parent)
    : QWidget(parent), state_(state), services_(services) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(ViewStyle::kSpacing);

  auto* title = ViewStyle::label(QStringLiteral("配对 Glowticker"), this);
  ViewStyle::headline(title);
  layout->addWidget(title);

  searchingRow_ = new QWidget(this);
  searchingRow_->setObjectName(QStringLiteral("searchingRow"));
  auto* searchingLayout = new QHBoxLayout(searchingRow_);
  searchingLayout->setContentsMargins(0, 0, 0, 0);
  auto* spinner = new QProgressBar(searchingRow_);
  spinner->setObjectName(QStringLiteral("searchingIndicator"));
  spinner->setRange(0, 0);  // indeterminate
  spinner->setTextVisible(false);
  spinner->setFixedSize(36, 8);
  searchingLayout->addWidget(spinner, 0, Qt::AlignVCenter);
  auto* searchingText = ViewStyle::label(QStringLiteral("正在搜索局域网设备…"), searchingRow_);
  searchingLayout->addWidget(searchingText, 1, Qt::AlignVCenter);
  layout->addWidget(searchingRow_);

  noDeviceLabel_ = ViewStyle::addWrappedLabel(
      layout, this, "noDeviceLabel", QStringLiteral("未发现设备。请确认手机 App 已打开，且与这台电脑在同一网络。"),
      ViewStyle::dimmed);
  problemLabel_ =
      ViewStyle::addWrappedLabel(layout, this, "discoveryProblem", {}, ViewStyle::dimmed, ViewStyle::small);

  picker_ = new QComboBox(this);
  picker_->setObjectName(QStringLiteral("devicePicker"));
  picker_->setAccessibleName(QStringLiteral("设备"));
  // Long device names must not widen the panel; the popup list still shows them in full.
  picker_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  picker_->setMinimumContentsLength(12);
  picker_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  connect(picker_, &QComboBox::activated, this, &PairingView::onPicked);
  layout->addWidget(picker_);

  auto* codeRow = new QHBoxLayout;
  codeField_ = new QLineEdit(this);
  codeField_->setObjectName(QStringLiteral("codeField"));
  codeField_->setPlaceholderText(QStringLiteral("手机上的 4 位配对码"));
  codeField_->setClearButtonEnabled(false);
  connect(codeField_, &QLineEdit::textChanged, this, &PairingView::onCodeEdited);
  codeRow->addWidget(codeField_, 1, Qt::AlignVCenter);
  pairButton_ = new QPushButton(this);
  pairButton_->setObjectName(QStringLiteral("pairButton"));
  connect(pairButton_, &QPushButton::clicked, this, &PairingView::pair);
  connect(codeField_, &QLineEdit::returnPressed, this, [this] {
    if (pairButton_->isEnabled()) pair();
  });
  codeRow->addWidget(pairButton_, 0, Qt::AlignVCenter);
  layout->addLayout(codeRow);

  errorLabel_ = ViewStyle::label({}, this);
  errorLabel_->setObjectName(QStringLiteral("pairError"));
  ViewStyle::errorText(errorLabel_);
  ViewStyle::wrapping(errorLabel_);
  layout->addWidget(errorLabel_);

  auto* actions = new QHBoxLayout;
  rescanButton_ = new QPushButton(QStringLiteral("重新搜索"), this);
  rescanButton_->setObjectName(QStringLiteral("rescanButton"));
  connect(rescanButton_, &QPushButton::clicked, this, &PairingView::browse);
  actions->addWidget(rescanButton_);
  actions->addStretch(1);
  quitButton_ = new QPushButton(QStringLiteral("退出"), this);
  quitButton_->setObjectName(QStringLiteral("quitButton"));
  connect(quitButton_, &QPushButton::clicked, this, [this] { services_.quit(); });
  actions->addWidget(quitButton_);
  layout->addLayout(actions);

  render();
  // Field and button side by side read as one control: one height for both, whichever the style makes
  // taller (measured with the button's real text, whose Chinese may come from a taller fallback font).
  const int codeRowHeight = std::max(codeField_->sizeHint().height(), pairButton_->sizeHint().height());
  codeField_->setFixedHeight(codeRowHeight);
  pairButton_->setFixedHeight(codeRowHeight);
}

PairingView::~PairingView() = default;

QString PairingView::entryText(const DiscoveredDevice& d) {
  // A phone that does not say its model is listed without one rather than as "unknown".
  const QString model = d.device.empty() ? QString() : QStringLiteral(" (") + shownText(d.device) + QStringLiteral(")");
  return shownText(d.name) + model + QStringLiteral(" @ ") + shownText(d.host);
}

QString PairingView::searchProblemText(BrowseProblem problem) {
  // A word joiner after the hyphen keeps "avahi-daemon" whole when the line wraps (a hyphen is a break
  // opportunity), and no-break spaces keep each command on one line; the label is not selectable, so
  // nobody copies the joiners into a terminal.
  const QString daemon = QStringLiteral("avahi-\u2060daemon");
  const QString start = QStringLiteral("sudo\u00A0systemctl\u00A0start\u00A0") + daemon;
  const QString again = QStringLiteral("，然后点“重新搜索”。");
  switch (problem) {
    case BrowseProblem::noDaemon:
      return daemon + QStringLiteral(" 没有运行，无法搜索局域网里的手机。请在终端运行 ") + start + again;
    case BrowseProblem::daemonStopped:
      return daemon + QStringLiteral(" 在搜索时停止了。请在终端运行 ") + start + again;
    case BrowseProblem::failed:
      break;
  }
  return QStringLiteral("无法通过 ") + daemon + QStringLiteral(" 搜索局域网。在终端运行 glowticker\u00A0devices 可看到原因；") +
         QStringLiteral("请确认 ") + daemon + QStringLiteral(" 正在运行") + again;
}

void PairingView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // The code is what the user came to type: keys pressed right after the panel opens go into the field.
  if (!event->spontaneous()) codeField_->setFocus(Qt::PopupFocusReason);
  if (!started_) {
    started_ = true;
    browse();
  }
}

void PairingView::browse() {
  // One search at a time; one asked for before the view is first shown counts as the appearance's.
  if (searchRunning_) return;
  started_ = true;
  searching_ = true;
  error_.reset();
  render();
  searchRunning_ = true;
  runInBackground(
      services_.pool, this, [fn = services_.discover] { return fn(); },
      [this](DeviceSearch result) {
        searchRunning_ = false;
        onSearchDone(std::move(result));
      });
}

void PairingView::onSearchDone(DeviceSearch result) {
  devices_ = result ? std::move(*result) : std::vector<DiscoveredDevice>();
  problem_ = result ? std::nullopt : std::optional(result.error().kind);
  // Each search starts the choice again from the top of the list.
  selected_ = devices_.empty() ? std::nullopt : std::optional(devices_.front());
  searching_ = false;
  render();
}

void PairingView::onPicked(int index) {
  const QString id = picker_->itemData(index).toString();
  selected_.reset();
  for (const auto& d : devices_) {
    if (QString::fromStdString(d.id()) == id) {
      selected_ = d;
      break;
    }
  }
  render();
}

void PairingView::onCodeEdited(const QString& text) {
  const QString filtered = filterCode(text);
  code_ = filtered;
  // Writing back fires this again with the filtered text, which then passes unchanged. The cursor keeps
  // its place among the characters that stay.
  if (filtered != text) {
    const int cursor = filterCode(text.left(codeField_->cursorPosition())).size();
    codeField_->setText(filtered);
    codeField_->setCursorPosition(std::min<int>(cursor, filtered.size()));
  }
  render();
}

void PairingView::pair() {
  if (!selected_ || busy_ || !state_) return;
  const DiscoveredDevice d = *selected_;
  busy_ = true;
  render();
  // A successful pairing can make the panel root drop this view before the callback runs.
  QPointer<PairingView> self(this);
  state_->pair(d.host, d.httpPort, d.wsPort, d.name, code_.toStdString(), [self](Result<void, PairFailure> paired) {
    if (!self) return;
    if (!paired) self->error_ = shownText(pairFailureText(paired.error()));
    self->busy_ = false;
    self->render();
  });
}

void PairingView::render() {
  searchingRow_->setVisible(searching_);
  noDeviceLabel_->setVisible(!searching_ && devices_.empty());
  problemLabel_->setVisible(!searching_ && devices_.empty() && problem_);
  problemLabel_->setText(problem_ ? searchProblemText(*problem_) : QString());
  picker_->setVisible(!searching_ && !devices_.empty());

  // Rebuild the entries only when the list changed, so an open popup is not disturbed needlessly.
  bool same = picker_->count() == static_cast<int>(devices_.size());
  for (int i = 0; same && i < picker_->count(); ++i) same = picker_->itemText(i) == entryText(devices_[i]);
  if (!same) {
    picker_->clear();
    for (const auto& d : devices_) picker_->addItem(entryText(d), QString::fromStdString(d.id()));
  }
  // Shows the first entry carrying the selection's identity, or none.
  picker_->setCurrentIndex(selected_ ? picker_->findData(QString::fromStdString(selected_->id())) : -1);

  pairButton_->setText(busy_ ? QStringLiteral("配对中…") : QStringLiteral("配对"));
  pairButton_->setEnabled(PairingCode::complete(code_.toStdString()) && selected_ && !busy_);

  errorLabel_->setVisible(error_.has_value());
  errorLabel_->setText(error_.value_or(QString()));

  rescanButton_->setEnabled(!searching_);
}

}  // namespace gt

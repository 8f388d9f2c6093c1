#include "app/views/status_view.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "app/app_state.h"
#include "app/shown_text.h"
#include "app/views/view_style.h"
namespace gt {
namespace {

constexpr int kDotSize = 8;
constexpr int kResultMaxHeight = 100;
constexpr int kRecentRowsShown = 5;  // more scroll

// As tall as its text up to the limit, then scrolling: an empty or short report takes little room.
class ResultBox : public QScrollArea {
 public:
  using QScrollArea::QScrollArea;

  QSize sizeHint() const override {
    const QWidget* content = widget();
    int h = 0;
    if (content) {
      const int w = std::max(1, viewport()->width());
      h = content->hasHeightForWidth() ? content->heightForWidth(w) : content->sizeHint().height();
    }
    return {QScrollArea::sizeHint().width(), std::min(h + 2 * frameWidth(), kResultMaxHeight)};
  }
  QSize minimumSizeHint() const override { return {0, sizeHint().height()}; }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QScrollArea::resizeEvent(event);
    if (event->size().width() != event->oldSize().width()) updateGeometry();  // rewrapped text
  }
};

QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

}  // namespace

StatusView::StatusView(AppState* state, const PanelServices& services, QWidget* parent)
    : QWidget(parent), state_(state), services_(services) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(ViewStyle::kSpacing);

  auto* linkRow = new QHBoxLayout;
  dot_ = new QLabel(this);
  dot_->setObjectName(QStringLiteral("linkDot"));
  dot_->setFixedSize(kDotSize, kDotSize);
  linkRow->addWidget(dot_, 0, Qt::AlignVCenter);
  linkLabel_ = ViewStyle::label({}, this);
  linkLabel_->setObjectName(QStringLiteral("linkLabel"));
  ViewStyle::headline(linkLabel_);
  ViewStyle::wrapping(linkLabel_);
  linkRow->addWidget(linkLabel_, 1, Qt::AlignVCenter);
  layout->addLayout(linkRow);

  addressLabel_ = ViewStyle::addWrappedLabel(layout, this, "addressLabel", {}, ViewStyle::small, ViewStyle::dimmed);
  intakeLabel_ = ViewStyle::addWrappedLabel(layout, this, "intakeProblem", {}, ViewStyle::small, ViewStyle::errorText);

  layout->addWidget(divider(this));

  auto* section = ViewStyle::label(QStringLiteral("Agent Hook"), this);
  ViewStyle::bold(section);
  layout->addWidget(section);

  for (AgentID agent : allAgents()) {
    auto* row = new HookToggleRow(
        agent,
        [this](const QString& text) {
          installResult_ = text;
          renderReports();
        },
        [this](const QString& text) {
          hookError_ = text;
          renderReports();
        },
        services_, this);
    rows_.push_back(row);
    layout->addWidget(row);
  }

  auto* note = ViewStyle::label(QStringLiteral("hook 对新启动的会话生效，已运行的 agent 会话请重启。"), this);
  note->setObjectName(QStringLiteral("hookNote"));
  ViewStyle::caption(note);
  ViewStyle::dimmed(note);
  ViewStyle::wrapping(note);
  layout->addWidget(note);

  resultBox_ = new ResultBox(this);
  resultBox_->setObjectName(QStringLiteral("installResult"));
  resultBox_->setWidgetResizable(true);
  resultBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  resultBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  resultBox_->setMaximumHeight(kResultMaxHeight);
  resultBox_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  resultBox_->setFrameShape(QFrame::NoFrame);
  resultLabel_ = ViewStyle::label({}, resultBox_);
  resultLabel_->setObjectName(QStringLiteral("installResultText"));
  resultLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  resultLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);  // backup paths are worth copying
  ViewStyle::caption(resultLabel_, 0.8);
  ViewStyle::wrapping(resultLabel_);
  resultBox_->setWidget(resultLabel_);
  layout->addWidget(resultBox_);

  errorLabel_ = ViewStyle::label({}, this);
  errorLabel_->setObjectName(QStringLiteral("hookError"));
  ViewStyle::errorText(errorLabel_);
  ViewStyle::wrapping(errorLabel_);
  layout->addWidget(errorLabel_);

  layout->addWidget(divider(this));

  auto* recentTitle = ViewStyle::label(QStringLiteral("最近事件"), this);
  ViewStyle::bold(recentTitle);
  layout->addWidget(recentTitle);
  recentEmpty_ = ViewStyle::label(QStringLiteral("暂无事件"), this);
  recentEmpty_->setObjectName(QStringLiteral("recentEmpty"));
  ViewStyle::caption(recentEmpty_);
  ViewStyle::dimmed(recentEmpty_);
  layout->addWidget(recentEmpty_);
  recentList_ = new QListWidget(this);
  recentList_->setObjectName(QStringLiteral("recentEvents"));
  recentList_->setFrameShape(QFrame::NoFrame);
  recentList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  recentList_->setTextElideMode(Qt::ElideRight);
  recentList_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  ViewStyle::caption(recentList_);
  connect(recentList_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
    const int row = recentList_->row(item);
    if (!state_ || row < 0 || static_cast<std::size_t>(row) >= state_->recentEvents().size()) return;
    state_->bringBack(state_->recentEvents()[static_cast<std::size_t>(row)].event);
  });
  layout->addWidget(recentList_);

  quietSwitch_ = new QCheckBox(QStringLiteral("终端在前台时不提醒"), this);
  quietSwitch_->setObjectName(QStringLiteral("quietSwitch"));
  // Where the desktop cannot tell which window is in front the switch would do nothing: it says so,
  // and the stored choice is kept for a desktop where it works.
  const bool quietWorks = services_.quietUnavailable.isEmpty();
  quietSwitch_->setEnabled(quietWorks);
  quietSwitch_->setChecked(quietWorks && state_ && state_->quietWhenInFront());
  connect(quietSwitch_, &QCheckBox::toggled, this, [this](bool on) {
    if (state_) state_->setQuietWhenInFront(on);
  });
  layout->addWidget(quietSwitch_);
  if (!quietWorks)
    ViewStyle::addWrappedLabel(layout, this, "quietUnavailable", services_.quietUnavailable, ViewStyle::small,
                               ViewStyle::dimmed);

  layout->addWidget(divider(this));

  auto* commands = new QHBoxLayout;
  commands->setSpacing(8);  // three padded buttons fit the panel's width side by side
  auto* openConfig = new QPushButton(QStringLiteral("打开配置目录"), this);
  openConfig->setObjectName(QStringLiteral("openConfigButton"));
  ViewStyle::padded(openConfig);
  connect(openConfig, &QPushButton::clicked, this, [this] { services_.openConfigDir(); });
  commands->addWidget(openConfig);
  commands->addStretch(1);
  auto* unpair = new QPushButton(QStringLiteral("解除配对"), this);
  unpair->setObjectName(QStringLiteral("unpairButton"));
  ViewStyle::padded(unpair);
  connect(unpair, &QPushButton::clicked, this, [this] {
    // A failed deletion changes nothing and is not shown; success switches the panel to pairing.
    if (state_) (void)state_->unpair();
  });
  commands->addWidget(unpair);
  auto* quit = new QPushButton(QStringLiteral("退出"), this);
  quit->setObjectName(QStringLiteral("quitButton"));
  connect(quit, &QPushButton::clicked, this, [this] { services_.quit(); });
  commands->addWidget(quit);
  layout->addLayout(commands);

  if (state_) {
    connect(state_, &AppState::connChanged, this, &StatusView::renderLink);
    connect(state_, &AppState::cfgChanged, this, &StatusView::renderLink);
    connect(state_, &AppState::intakeProblemChanged, this, &StatusView::renderLink);
    connect(state_, &AppState::recentEventsChanged, this, &StatusView::renderRecent);
    connect(state_, &AppState::quietWhenInFrontChanged, this,
            [this] { quietSwitch_->setChecked(quietSwitch_->isEnabled() && state_->quietWhenInFront()); });
  }
  renderLink();
  renderReports();
  renderRecent();
}

StatusView::~StatusView() = default;

void StatusView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Reports belong to the opening of the panel that made them: a new opening starts without them.
  if (event->spontaneous() || (!installResult_ && !hookError_)) return;
  installResult_.reset();
  hookError_.reset();
  renderReports();
}

HookToggleRow* StatusView::row(AgentID agent) const {
  for (HookToggleRow* r : rows_)
    if (r->agent() == agent) return r;
  return nullptr;
}

QString StatusView::addressText(const std::string& host, std::int64_t wsPort, std::int64_t httpPort) {
  return shownText(host) + QStringLiteral("  ws=") + QString::number(wsPort) + QStringLiteral(" http=") +
         QString::number(httpPort);
}

void StatusView::renderLink() {
  const ConnState conn = state_ ? state_->conn() : ConnState::unpaired();
  QColor colour = ViewStyle::grey();
  if (conn.kind == ConnState::Kind::offline) colour = ViewStyle::red();
  if (conn.kind == ConnState::Kind::connected) colour = ViewStyle::green();
  dot_->setProperty("dotColor", colour);
  dot_->setStyleSheet(
      QStringLiteral("background-color: %1; border-radius: %2px;").arg(colour.name()).arg(kDotSize / 2));
  linkLabel_->setText(shownText(conn.label()));

  const std::optional<ClockConfig> cfg = state_ ? state_->cfg() : std::nullopt;
  addressLabel_->setVisible(cfg.has_value());
  addressLabel_->setText(cfg ? addressText(cfg->host, cfg->wsPort, cfg->httpPort) : QString());
  const auto intake = state_ ? state_->intakeProblemLine() : std::nullopt;
  intakeLabel_->setVisible(intake.has_value());
  intakeLabel_->setText(QString::fromStdString(intake.value_or("")));
}

void StatusView::renderRecent() {
  recentList_->clear();
  const auto* events = state_ ? &state_->recentEvents() : nullptr;
  for (std::size_t i = 0; events && i < events->size(); ++i) {
    const AgentEvent& e = (*events)[i].event;
    QString text = (*events)[i].arrived.toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ") +
                   shownText(e.agent) + QStringLiteral(" \u00B7 ") + shownText(e.title);
    if (!e.project.empty()) text += QStringLiteral(" \u00B7 ") + shownText(e.project);
    auto* item = new QListWidgetItem(text, recentList_);
    item->setToolTip(shownText(e.message));
  }
  const bool any = recentList_->count() > 0;
  recentEmpty_->setVisible(!any);
  recentList_->setVisible(any);
  const int rows = std::min(recentList_->count(), kRecentRowsShown);
  recentList_->setFixedHeight(any ? rows * recentList_->sizeHintForRow(0) + 2 * recentList_->frameWidth() : 0);
}

void StatusView::renderReports() {
  // Shown while set, even for empty text.
  resultBox_->setVisible(installResult_.has_value());
  resultLabel_->setText(installResult_.value_or(QString()));
  resultBox_->updateGeometry();
  errorLabel_->setVisible(hookError_.has_value());
  errorLabel_->setText(hookError_.value_or(QString()));
}

}  // namespace gt

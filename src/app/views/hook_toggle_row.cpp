#include "app/views/hook_toggle_row.h"

#include <QCheckBox>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QShowEvent>
#include <QStringList>
#include <QtConcurrent/QtConcurrentRun>

#include "app/views/view_tasks.h"

HookToggleRow::HookToggleRow(gt::AgentID agent, TextFn onResult, TextFn onError, SetHookFn setHook,
                             IsInstalledFn isInstalled, QWidget* parent)
    : QWidget(parent),
      agent_(agent),
      onResult_(std::move(onResult)),
      onError_(std::move(onError)),
      setHook_(std::move(setHook)),
      isInstalled_(std::move(isInstalled)) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  box_ = new QCheckBox(labelFor(agent), this);
  box_->setObjectName(QStringLiteral("hookToggle-") + QString::fromUtf8(gt::rawValue(agent)));
  connect(box_, &QCheckBox::toggled, this, &HookToggleRow::onEnabledChanged);
  layout->addWidget(box_);
  layout->addStretch(1);
  updateControl();
}

HookToggleRow::~HookToggleRow() = default;

QString HookToggleRow::labelFor(gt::AgentID agent) {
  QStringList words = QString::fromUtf8(gt::rawValue(agent)).split(QLatin1Char(' '));
  for (QString& w : words) {
    w = w.toLower();
    if (!w.isEmpty()) w[0] = w[0].toUpper();
  }
  return words.join(QLatin1Char(' '));
}

QString HookToggleRow::reportText(const gt::HookSuccess& success) {
  QStringList lines;
  for (const auto& r : success.reports) {
    QString line = QString::fromStdString(r.agent) + QStringLiteral(": ") + QString::fromStdString(r.action);
    if (!r.backup.empty()) line += QStringLiteral(" (备份: ") + QString::fromStdString(r.backup) + QStringLiteral(")");
    lines << line;
  }
  QString text = lines.join(QLatin1Char('\n'));
  if (!success.note.empty()) text += QLatin1Char('\n') + QString::fromStdString(success.note);
  return text;
}

QString HookToggleRow::errorText(gt::AgentID agent, const gt::HookError& error) {
  return QString::fromUtf8(gt::rawValue(agent)) + QStringLiteral(" 操作失败：") +
         QString::fromStdString(error.description);
}

bool HookToggleRow::switchOn() const { return box_->isChecked(); }

void HookToggleRow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Each showing reads the state afresh, so changes made elsewhere (the CLI) show up; a running change
  // will set the state itself.
  if (!event->spontaneous()) readState();
}

void HookToggleRow::readState() {
  if (busy_ || reading_) return;
  reading_ = true;
  updateControl();
  auto* watcher = new QFutureWatcher<bool>(this);
  connect(watcher, &QFutureWatcher<bool>::finished, this, [this, watcher] {
    watcher->deleteLater();
    const bool installed = watcher->future().resultCount() > 0 && watcher->result();
    reading_ = false;
    // flow first: the switch's own update below then equals it and starts no change.
    flow_.applied = installed;
    box_->setChecked(installed);
    updateControl();
  });
  watcher->setFuture(QtConcurrent::run(ViewTasks::pool(), [fn = isInstalled_, agent = agent_] {
    try {
      return fn(agent);
    } catch (...) {
      return false;
    }
  }));
}

void HookToggleRow::onEnabledChanged(bool v) {
  if (busy_ || reading_) return;
  if (flow_.applied == v) return;
  busy_ = true;
  updateControl();
  applyChange(v);
}

void HookToggleRow::applyChange(bool v) {
  using Watcher = QFutureWatcher<gt::HookResult>;
  auto* watcher = new Watcher(this);
  connect(watcher, &Watcher::finished, this, [this, watcher, v] {
    watcher->deleteLater();
    const gt::HookResult result = watcher->future().resultCount() > 0
                                      ? watcher->result()
                                      : gt::HookResult(gt::HookError{"HookInstaller", -1, "no result"});
    if (const auto* ok = std::get_if<gt::HookSuccess>(&result)) {
      flow_.applied = v;
      if (onResult_) onResult_(reportText(*ok));
      busy_ = false;
      updateControl();
    } else {
      // Back to what is really applied; equal to flow, so no new change starts.
      box_->setChecked(flow_.applied);
      if (onError_) onError_(errorText(agent_, std::get<gt::HookError>(result)));
      busy_ = false;
      updateControl();
    }
  });
  watcher->setFuture(QtConcurrent::run(ViewTasks::pool(), [fn = setHook_, agent = agent_, v]() -> gt::HookResult {
    try {
      return fn(agent, v);
    } catch (const std::exception& e) {
      return gt::HookError{"HookInstaller", -1, e.what()};
    }
  }));
}

void HookToggleRow::updateControl() { box_->setEnabled(!busy_ && !reading_); }

#include "app/views/hook_toggle_row.h"
#include "app/shown_text.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QShowEvent>
#include <QStringList>

#include "app/background.h"

namespace gt {

HookToggleRow::HookToggleRow(AgentID agent, TextFn onResult, TextFn onError, const PanelServices& services,
                             QWidget* parent)
    : QWidget(parent),
      agent_(agent),
      onResult_(std::move(onResult)),
      onError_(std::move(onError)),
      services_(services) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  box_ = new QCheckBox(labelFor(agent), this);
  box_->setObjectName(QStringLiteral("hookToggle-") + QString::fromUtf8(rawValue(agent)));
  connect(box_, &QCheckBox::toggled, this, &HookToggleRow::onEnabledChanged);
  layout->addWidget(box_);
  layout->addStretch(1);
  updateControl();
}

HookToggleRow::~HookToggleRow() = default;

QString HookToggleRow::labelFor(AgentID agent) {
  QStringList words = QString::fromUtf8(rawValue(agent)).split(QLatin1Char(' '));
  for (QString& w : words) {
    w = w.toLower();
    if (!w.isEmpty()) w[0] = w[0].toUpper();
  }
  return words.join(QLatin1Char(' '));
}

QString HookToggleRow::reportText(const HookSuccess& success) {
  QStringList lines;
  for (const auto& r : success.reports) {
    // The tool's English words in the panel's Chinese; the terminal keeps the tool's own.
    QString line = shownText(r.agent) + QStringLiteral(": ") + shownText(ReportWords::panelAction(r.action));
    if (!r.backup.empty()) line += QStringLiteral(" (备份: ") + shownText(r.backup) + QStringLiteral(")");
    lines << line;
  }
  QString text = lines.join(QLatin1Char('\n'));
  if (!success.note.empty()) text += QLatin1Char('\n') + QString::fromStdString(ReportWords::panelNote(success.note));
  return text;
}

QString HookToggleRow::errorText(AgentID agent, const HookError& error) {
  return QString::fromUtf8(rawValue(agent)) + QStringLiteral(" 操作失败：") + QString::fromStdString(error.description);
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
  runInBackground(
      services_.pool, this, [fn = services_.isInstalled, agent = agent_] { return fn(agent); },
      [this](bool installed) {
        reading_ = false;
        // flow first: the switch's own update below then equals it and starts no change.
        flow_.applied = installed;
        box_->setChecked(installed);
        updateControl();
      });
}

void HookToggleRow::onEnabledChanged(bool v) {
  if (busy_ || reading_) return;
  if (flow_.applied == v) return;
  busy_ = true;
  updateControl();
  applyChange(v);
}

void HookToggleRow::applyChange(bool v) {
  runInBackground(
      services_.pool, this, [fn = services_.setHook, agent = agent_, v] { return fn(agent, v); },
      [this, v](const HookResult& result) {
        if (result) {
          flow_.applied = v;
          if (onResult_) onResult_(reportText(*result));
        } else {
          // Back to what is really applied; equal to flow, so no new change starts.
          box_->setChecked(flow_.applied);
          if (onError_) onError_(errorText(agent_, result.error()));
        }
        busy_ = false;
        updateControl();
      });
}

void HookToggleRow::updateControl() { box_->setEnabled(!busy_ && !reading_); }

}  // namespace gt

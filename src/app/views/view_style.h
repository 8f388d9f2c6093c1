#pragma once
#include <QBoxLayout>
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <algorithm>

namespace gt {

// Text roles shared by the panel views (headline, caption, dimmed, red), so both views look alike.
namespace ViewStyle {

inline constexpr int kSpacing = 12;

inline QColor red() { return QColor(0xd7, 0x00, 0x15); }
inline QColor green() { return QColor(0x28, 0xa7, 0x45); }
inline QColor grey() { return QColor(0x8e, 0x8e, 0x93); }

// Every label shows its text as plain text: device names, tool output and error messages come from
// outside and must never be read as markup.
inline QLabel* label(const QString& text, QWidget* parent) {
  auto* l = new QLabel(parent);
  l->setTextFormat(Qt::PlainText);
  l->setText(text);
  return l;
}

inline void headline(QWidget* w) {
  QFont f = w->font();
  f.setBold(true);
  f.setPointSizeF(f.pointSizeF() * 1.15);
  w->setFont(f);
}

inline void bold(QWidget* w) {
  QFont f = w->font();
  f.setBold(true);
  w->setFont(f);
}

inline void caption(QWidget* w, qreal scale = 0.85) {
  QFont f = w->font();
  f.setPointSizeF(f.pointSizeF() * scale);
  w->setFont(f);
}

inline void setTextColor(QWidget* w, const QColor& c) {
  QPalette p = w->palette();
  p.setColor(QPalette::WindowText, c);
  p.setColor(QPalette::Text, c);
  w->setPalette(p);
}

inline void dimmed(QWidget* w) { setTextColor(w, w->palette().color(QPalette::PlaceholderText)); }

inline void errorText(QWidget* w) { setTextColor(w, red()); }

// A button whose text is long gets the same room on each side of it as the short ones: left to the
// style, a text wider than the style's minimum width touches the button's edges.
inline void padded(QPushButton* b) {
  constexpr int kTextPadding = 14;
  b->setMinimumWidth(std::max(b->sizeHint().width(), b->fontMetrics().horizontalAdvance(b->text()) + 2 * kTextPadding));
}

// Long texts wrap inside the panel's width instead of widening it.
inline void wrapping(QLabel* l) {
  l->setWordWrap(true);
  QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  l->setSizePolicy(policy);
}

// A wrapping label named for tests and scripts, given each of `styles`, at the end of `layout`.
template <class... Style>
QLabel* addWrappedLabel(QBoxLayout* layout, QWidget* parent, const char* name, const QString& text, Style... styles) {
  QLabel* l = label(text, parent);
  l->setObjectName(QString::fromLatin1(name));
  (styles(l), ...);
  wrapping(l);
  layout->addWidget(l);
  return l;
}
inline void small(QWidget* w) { caption(w); }

}  // namespace ViewStyle

}  // namespace gt

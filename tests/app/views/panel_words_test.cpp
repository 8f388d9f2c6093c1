// The panel as a user meets it on the offscreen platform at the panel's real width: typing right after
// it opens, controls that line up, and the search problem that must never wrap inside a word.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextLayout>

#include "app/panel_root_view.h"
#include "app/tray_panel.h"
#include "app/views/pairing_view.h"
#include "app/views/status_view.h"
#include "support/app_test_support.h"

using namespace apptest;

class PanelWordsTest : public QObject {
  Q_OBJECT

  // Positions where QLabel's word wrap may end a line of `text` in `font` at any width it could get.
  static QList<int> lineEnds(const QString& text, const QFont& font, int width) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    QList<int> ends;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(width);
      ends << line.textStart() + line.textLength();
    }
    layout.endLayout();
    ends.removeLast();
    return ends;
  }
  static int padding(const QPushButton* b) { return b->width() - b->fontMetrics().horizontalAdvance(b->text()); }

 private slots:
  void typingRightAfterOpeningFillsTheCode() {
    TempHome home;
    auto state = makeState(std::make_shared<FakeDevice>());
    auto* root = new gt::PanelRootView(state.get(), services());
    gt::TrayPanel panel(root, gt::TrayPanel::Mode::popup);
    panel.open(QRect());
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QTest::keyClicks(nullptr, QStringLiteral("4821"));  // to whatever has the keyboard focus
    auto* code = root->findChild<QLineEdit*>(QStringLiteral("codeField"));
    QCOMPARE(code->text(), QStringLiteral("4821"));
    QCOMPARE(code->height(), root->findChild<QPushButton*>(QStringLiteral("pairButton"))->height());
    panel.hide();
  }

  void searchProblemsNeverWrapInsideAWord() {
    // Every width the label could have in the panel, down to half of it: a line may end at a space or
    // between Chinese characters, never inside "avahi-daemon" or another Latin word.
    for (auto problem : {gt::BrowseProblem::noDaemon, gt::BrowseProblem::daemonStopped, gt::BrowseProblem::failed}) {
      const QString text = gt::PairingView::searchProblemText(problem);
      QVERIFY(text.contains(QStringLiteral("systemctl")) || text.contains(QStringLiteral("glowticker")));
      QFont font;
      font.setPointSizeF(font.pointSizeF() * 0.85);
      for (int width = gt::PanelRootView::kWidth; width >= gt::PanelRootView::kWidth / 2; width -= 3) {
        for (int end : lineEnds(text, font, width)) {
          // Between Chinese characters a line may end anywhere; inside Latin words and commands never.
          auto wordChar = [](QChar c) {
            return (c.isLetterOrNumber() && c.script() != QChar::Script_Han) || c == u'-' || c == QChar(0x2060);
          };
          const bool inWord = c16(text, end - 1, wordChar) && c16(text, end, wordChar);
          QVERIFY2(!inWord, qPrintable(QStringLiteral("width %1 breaks \"%2|%3\"")
                                           .arg(width)
                                           .arg(text.left(end).right(8), text.mid(end, 8))));
        }
      }
    }
  }

  void unnamedModelAndCommandPadding() {
    QVERIFY(!gt::PairingView::entryText({"Desk", "192.168.1.7", 1, 2, {}, {}}).contains(QStringLiteral("unknown")));
    TempHome home;
    auto state = makeState(std::make_shared<FakeDevice>());
    gt::StatusView view(state.get(), services());
    view.setFixedWidth(gt::PanelRootView::kWidth);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    // As much room beside its text as "解除配对" has ("退出" is widened by the style's minimum width).
    QVERIFY(padding(view.findChild<QPushButton*>(QStringLiteral("openConfigButton"))) >=
            padding(view.findChild<QPushButton*>(QStringLiteral("unpairButton"))) - 4);
  }

 private:
  template <typename Pred>
  static bool c16(const QString& s, int i, Pred p) {
    return i >= 0 && i < s.size() && p(s[i]);
  }
};

QTEST_MAIN(PanelWordsTest)
#include "panel_words_test.moc"

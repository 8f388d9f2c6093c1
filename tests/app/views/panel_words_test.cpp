// The panel at its real width: typing right after it opens, controls that line up, no wrap inside a word.
#include <QLineEdit>
#include <QPushButton>
#include <QTextLayout>

#include "app/panel_root_view.h"
#include "app/tray_panel.h"
#include "app/views/pairing_view.h"
#include "app/views/status_view.h"
#include "support/app_test_support.h"

using namespace apptest;

class PanelWordsTest : public QObject, StateFixture {
  Q_OBJECT
  static int padding(const QPushButton* b) { return b->width() - b->fontMetrics().horizontalAdvance(b->text()); }

 private slots:
  void init() { setUp(); }
  void cleanup() { tearDown(); }
  void typingRightAfterOpeningAndAlikeCommands() {
    auto* root = new gt::PanelRootView(state_.get(), services());
    gt::TrayPanel panel(root, gt::TrayPanel::Mode::popup);
    panel.open(QRect());
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QTest::keyClicks(nullptr, QStringLiteral("4821"));  // to whatever has the keyboard focus
    auto* code = root->findChild<QLineEdit*>(QStringLiteral("codeField"));
    QCOMPARE(code->text(), QStringLiteral("4821"));
    QCOMPARE(code->height(), root->findChild<QPushButton*>(QStringLiteral("pairButton"))->height());
    // The status view's commands: as much room beside the text as "解除配对" has ("退出" is widened by the
    // style's minimum width).
    gt::StatusView view(state_.get(), services());
    view.setFixedWidth(gt::PanelRootView::kWidth);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QVERIFY(padding(view.findChild<QPushButton*>(QStringLiteral("openConfigButton"))) >=
            padding(view.findChild<QPushButton*>(QStringLiteral("unpairButton"))) - 4);
  }

  void searchProblemsNeverWrapInsideAWord() {
    // A line may end at a space or between Chinese characters, never inside "avahi-daemon" or a command,
    // at any width the label could get in the panel (down to half of it).
    auto wordChar = [](const QString& s, int i) {
      return i >= 0 && i < s.size() &&
             ((s[i].isLetterOrNumber() && s[i].script() != QChar::Script_Han) || s[i] == u'-' || s[i] == QChar(0x2060));
    };
    QFont font;
    font.setPointSizeF(font.pointSizeF() * 0.85);
    for (auto problem : {gt::BrowseProblem::noDaemon, gt::BrowseProblem::daemonStopped, gt::BrowseProblem::failed}) {
      const QString text = gt::PairingView::searchProblemText(problem);
      for (int width = gt::PanelRootView::kWidth; width >= gt::PanelRootView::kWidth / 2; width -= 3) {
        QTextLayout layout(text, font);  // wraps at word boundaries, as the label does
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
          line.setLineWidth(width);
          const int end = line.textStart() + line.textLength();
          QVERIFY2(!(wordChar(text, end - 1) && wordChar(text, end)),
                   qPrintable(QStringLiteral("%1 px: \"%2|%3\"").arg(width).arg(text.mid(end - 8, 8), text.mid(end, 8))));
        }
        layout.endLayout();
      }
    }
  }

};

QTEST_MAIN(PanelWordsTest)
#include "panel_words_test.moc"

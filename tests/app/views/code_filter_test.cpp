#include "app/views/code_filter.h"

#include <QTest>

class CodeFilterTest : public QObject {
  Q_OBJECT
 private slots:
  void keepsNumericClustersInOrder_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    QTest::newRow("ascii") << QStringLiteral("1234") << QStringLiteral("1234");
    QTest::newRow("letters dropped") << QStringLiteral("a1b2c") << QStringLiteral("12");
    QTest::newRow("white space dropped") << QStringLiteral(" 1 2\t3\n") << QStringLiteral("123");
    QTest::newRow("fifth digit ignored") << QStringLiteral("12345") << QStringLiteral("1234");
    QTest::newRow("six pasted") << QStringLiteral("987654") << QStringLiteral("9876");
    QTest::newRow("full-width") << QStringLiteral("１２３４") << QStringLiteral("１２３４");
    QTest::newRow("arabic-indic") << QStringLiteral("٠١٢٣") << QStringLiteral("٠١٢٣");
    QTest::newRow("fraction and roman numeral") << QStringLiteral("½Ⅻx") << QStringLiteral("½Ⅻ");
    QTest::newRow("han numeral") << QStringLiteral("一二") << QStringLiteral("一二");
    // A digit with a combining mark is one user-perceived character and is kept whole.
    QTest::newRow("digit with combining mark") << QStringLiteral("1\u0301 2") << QStringLiteral("1\u03012");
    // Keycap sequence: first scalar is a digit, the cluster stays together.
    QTest::newRow("keycap") << QStringLiteral("1\uFE0F\u20E3") << QStringLiteral("1\uFE0F\u20E3");
    // A combining mark on a letter does not make it numeric.
    QTest::newRow("letter with mark") << QStringLiteral("a\u03011") << QStringLiteral("1");
    // Supplementary-plane digits (mathematical bold) need surrogate handling.
    QTest::newRow("astral digits") << QStringLiteral("\U0001D7CF\U0001D7D0x") << QStringLiteral("\U0001D7CF\U0001D7D0");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("emoji only") << QStringLiteral("😀👍") << QString();
  }
  void keepsNumericClustersInOrder() {
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    QCOMPARE(CodeFilter::filter(typed), kept);
    // Filtering is idempotent, so writing the result back starts no further change.
    QCOMPARE(CodeFilter::filter(kept), kept);
  }

  void countsUserPerceivedCharacters() {
    QCOMPARE(CodeFilter::clusterCount(QString()), 0);
    QCOMPARE(CodeFilter::clusterCount(QStringLiteral("１２３４")), 4);
    QCOMPARE(CodeFilter::clusterCount(QStringLiteral("1\u0301234")), 4);
    QCOMPARE(CodeFilter::clusterCount(QStringLiteral("\U0001D7CF\U0001D7D0")), 2);
  }
};

QTEST_GUILESS_MAIN(CodeFilterTest)
#include "code_filter_test.moc"

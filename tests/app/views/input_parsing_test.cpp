// The pairing code filter and the fake-device list read from the environment.
#include <QTest>

#include "app/views/code_filter.h"
#include "app/views/fake_devices.h"

class InputParsingTest : public QObject {
  Q_OBJECT
 private slots:
  void codeKeepsNumericClustersInOrder_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    QTest::newRow("ascii") << QStringLiteral("1234") << QStringLiteral("1234");
    QTest::newRow("letters and white space dropped") << QStringLiteral(" a1b2\t3\n") << QStringLiteral("123");
    QTest::newRow("fifth and sixth digit ignored") << QStringLiteral("987654") << QStringLiteral("9876");
    QTest::newRow("full-width") << QStringLiteral("１２３４") << QStringLiteral("１２３４");
    QTest::newRow("arabic-indic") << QStringLiteral("٠١٢٣") << QStringLiteral("٠١٢٣");
    QTest::newRow("fraction, roman and han numerals") << QStringLiteral("½Ⅻx一") << QStringLiteral("½Ⅻ一");
    // A digit with a combining mark, or a keycap sequence, is one user-perceived character, kept whole.
    QTest::newRow("digit with combining mark") << QStringLiteral("1\u0301 2") << QStringLiteral("1\u03012");
    QTest::newRow("keycap") << QStringLiteral("1\uFE0F\u20E3") << QStringLiteral("1\uFE0F\u20E3");
    QTest::newRow("letter with mark") << QStringLiteral("a\u03011") << QStringLiteral("1");
    QTest::newRow("astral digits") << QStringLiteral("\U0001D7CF\U0001D7D0x") << QStringLiteral("\U0001D7CF\U0001D7D0");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("emoji only") << QStringLiteral("😀👍") << QString();
  }
  void codeKeepsNumericClustersInOrder() {
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    QCOMPARE(CodeFilter::filter(typed), kept);
    QCOMPARE(CodeFilter::filter(kept), kept);  // idempotent: writing the result back starts no further change
  }

  void codeCountsUserPerceivedCharacters() {
    QCOMPARE(CodeFilter::clusterCount(QString()), 0);
    QCOMPARE(CodeFilter::clusterCount(QStringLiteral("１２３４")), 4);
    QCOMPARE(CodeFilter::clusterCount(QStringLiteral("1\u0301234")), 4);
    QCOMPARE(CodeFilter::clusterCount(QStringLiteral("\U0001D7CF\U0001D7D0")), 2);
  }

  void fakeDevices() {
    // The name may hold '@' and the host ':'; malformed entries are left out.
    const auto list = FakeDevices::parse(
        "Desk@127.0.0.1:8080:8081,,noat,@h:1:2,A@h:1,B@:1:2,C@h:0:2,D@h:1:65536,E@h:x:2,F@h:1:2x,G@h:-1:2,"
        "me@home@::1:1:65535,");
    QCOMPARE(list.size(), std::size_t(2));
    QCOMPARE(list[0].name + "|" + list[0].host, std::string("Desk|127.0.0.1"));
    QCOMPARE(list[0].httpPort, std::int64_t(8080));
    QCOMPARE(list[0].wsPort, std::int64_t(8081));
    QVERIFY(list[0].device.empty());
    QCOMPARE(list[1].name + "|" + list[1].host, std::string("me@home|::1"));
    QCOMPARE(list[1].httpPort, std::int64_t(1));
    QCOMPARE(list[1].wsPort, std::int64_t(65535));
    QVERIFY(FakeDevices::parse("").empty());

    qunsetenv(FakeDevices::kEnvVar);
    QVERIFY(!FakeDevices::fromEnvironment());
    qputenv(FakeDevices::kEnvVar, "");
    QVERIFY(FakeDevices::fromEnvironment() && FakeDevices::fromEnvironment()->empty());
    qputenv(FakeDevices::kEnvVar, "X@127.0.0.1:1:2");
    QCOMPARE(FakeDevices::fromEnvironment()->size(), std::size_t(1));
    qunsetenv(FakeDevices::kEnvVar);
  }
};

QTEST_GUILESS_MAIN(InputParsingTest)
#include "input_parsing_test.moc"

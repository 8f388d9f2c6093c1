#include "app/views/fake_devices.h"

#include <QTest>

class FakeDevicesTest : public QObject {
  Q_OBJECT
 private slots:
  void parsesEntries() {
    const auto list = FakeDevices::parse("Desk@127.0.0.1:8080:8081,Kitchen phone@10.0.0.2:1:65535");
    QCOMPARE(list.size(), std::size_t(2));
    QCOMPARE(list[0].name, std::string("Desk"));
    QCOMPARE(list[0].host, std::string("127.0.0.1"));
    QCOMPARE(list[0].httpPort, std::int64_t(8080));
    QCOMPARE(list[0].wsPort, std::int64_t(8081));
    QVERIFY(list[0].device.empty());
    QCOMPARE(list[1].name, std::string("Kitchen phone"));
    QCOMPARE(list[1].wsPort, std::int64_t(65535));
  }

  void nameAndHostMayHoldSeparators() {
    const auto list = FakeDevices::parse("me@home@::1:80:81");
    QCOMPARE(list.size(), std::size_t(1));
    QCOMPARE(list[0].name, std::string("me@home"));
    QCOMPARE(list[0].host, std::string("::1"));
    QCOMPARE(list[0].httpPort, std::int64_t(80));
  }

  void dropsMalformedEntries() {
    const auto list =
        FakeDevices::parse(",noat,@h:1:2,A@h:1,B@:1:2,C@h:0:2,D@h:1:65536,E@h:x:2,F@h:1:2x,G@h:-1:2,,Ok@h:1:2,");
    QCOMPARE(list.size(), std::size_t(1));
    QCOMPARE(list[0].name, std::string("Ok"));
    QVERIFY(FakeDevices::parse("").empty());
  }

  void environmentVariable() {
    qunsetenv(FakeDevices::kEnvVar);
    QVERIFY(!FakeDevices::fromEnvironment());
    qputenv(FakeDevices::kEnvVar, "");
    QVERIFY(FakeDevices::fromEnvironment() && FakeDevices::fromEnvironment()->empty());
    qputenv(FakeDevices::kEnvVar, "X@127.0.0.1:1:2");
    QCOMPARE(FakeDevices::fromEnvironment()->size(), std::size_t(1));
    qunsetenv(FakeDevices::kEnvVar);
  }
};

QTEST_GUILESS_MAIN(FakeDevicesTest)
#include "fake_devices_test.moc"

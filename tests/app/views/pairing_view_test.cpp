// The pairing view against a scripted search, a stand-in device and a real pairing store in a temporary folder.
#include "app/views/pairing_view.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "support/app_test_support.h"

using namespace apptest;
namespace ConfigStore = gt::ConfigStore;

class PairingViewTest : public QObject, StateFixture {
  Q_OBJECT
  std::unique_ptr<gt::PairingView> view_;
  Gate searchGate_;
  std::atomic<int> searches_{0};
  std::mutex mu_;
  gt::DeviceSearch found_;

  static gt::DiscoveredDevice dev(std::string name, std::string host, std::string model = {}) {
    return {std::move(name), std::move(host), 8081, 8080, std::move(model), {}};
  }
  template <typename T = QPushButton>
  T* child(const char* name) { return view_->findChild<T*>(QString::fromLatin1(name)); }
  QLineEdit* codeField() { return child<QLineEdit>("codeField"); }
  QComboBox* picker() { return child<QComboBox>("devicePicker"); }
  QString looks() {
    return apptest::looks(view_.get(),
                          "searchingRow noDeviceLabel discoveryProblem devicePicker rescanButton pairButton pairError");
  }
  void click(const char* button) { QTest::mouseClick(child(button), Qt::LeftButton); }
  void find(std::vector<gt::DiscoveredDevice> devices) { find(gt::DeviceSearch(std::move(devices))); }
  void find(gt::DeviceSearch search) {
    std::lock_guard lock(mu_);
    found_ = std::move(search);
  }
  void rescan() {
    click("rescanButton");
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), kGateMs);
  }
  void userPicks(int index) {
    picker()->setCurrentIndex(index);
    emit picker()->activated(index);
  }
  void pairAndWait() {
    QVERIFY(child("pairButton")->isEnabled());
    click("pairButton");
    QTRY_VERIFY_WITH_TIMEOUT(!view_->busy(), kGateMs);
  }

 private slots:
  void init() {
    setUp();
    searches_ = 0;
    find({dev("Desk", "192.168.1.7")});
    gt::PanelServices s = services();
    s.discover = [this] {
      ++searches_;
      searchGate_.wait();
      std::lock_guard lock(mu_);
      return found_;
    };
    view_ = std::make_unique<gt::PairingView>(state_.get(), s);
    view_->resize(320, view_->sizeHint().height());
  }
  void cleanup() {
    searchGate_.open();
    view_.reset();
    tearDown();
  }

  void searchStatesAndSelection() {
    searchGate_.close();
    view_->show();
    QCOMPARE(looks(), QStringLiteral("+---xx-"));
    searchGate_.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), kGateMs);
    QCOMPARE(looks(), QStringLiteral("---++x-"));
    view_->hide();
    view_->show();  // one search for the appearance, however often the view is shown again
    QTest::qWait(20);
    QCOMPARE(searches_.load(), 1);
    // Nothing found: said so, with the reason; a full code cannot pair with nothing selected.
    find(gt::fail(gt::BrowseProblem::noDaemon, "avahi-daemon is not running"));
    rescan();
    QTest::keyClicks(codeField(), "1234");
    QCOMPARE(looks(), QStringLiteral("-++-+x-"));
    QVERIFY(!view_->selected());
    // Each search selects the first device again, whatever was picked.
    find({dev("Desk", "192.168.1.7"), dev("Phone", "192.168.1.8", "Pixel 8")});
    rescan();
    QCOMPARE(picker()->itemText(1), QStringLiteral("Phone (Pixel 8) @ 192.168.1.8"));
    userPicks(1);
    QCOMPARE(view_->selected()->name, std::string("Phone"));
    rescan();
    QCOMPARE(view_->selected()->name, std::string("Desk"));
    // Of two devices with one name, the first is the one picked and paired with.
    find({dev("Dup", "10.0.0.1"), dev("Dup", "10.0.0.2")});
    rescan();
    userPicks(1);
    QCOMPARE(picker()->currentIndex(), 0);
    pairAndWait();
    QCOMPARE(device_->pairs.get().at(0), std::string("10.0.0.1 8080 1234"));
    QCOMPARE(state_->conn(), gt::ConnState::connected("Dup"));
    QCOMPARE(state_->cfg()->wsPort, std::int64_t(8081));
  }

  void codeFieldFiltersAndEnablesAtFourThenTheViewGoesBeforeResults() {
    view_->show();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), kGateMs);
    QTest::keyClicks(codeField(), "1a2 b3");
    QCOMPARE(view_->code(), QStringLiteral("123"));
    QVERIFY(!child("pairButton")->isEnabled());
    QTest::keyClicks(codeField(), "45");  // a fifth digit has no effect
    QCOMPARE(codeField()->text(), QStringLiteral("1234"));
    QVERIFY(child("pairButton")->isEnabled());
    codeField()->setCursorPosition(1);  // typing in the middle keeps the cursor where the user typed
    QTest::keyClicks(codeField(), "x9");
    QCOMPARE(codeField()->text(), QStringLiteral("1923"));
    QCOMPARE(codeField()->cursorPosition(), 2);
    codeField()->clear();
    codeField()->insert(QStringLiteral("１２\u0301３４"));  // full-width, one with a combining mark: four
    device_->gate.close();
    click("pairButton");
    QCOMPARE(looks(), QStringLiteral("---++x-"));  // searching stays possible while pairing
    searchGate_.close();
    click("rescanButton");
    view_.reset();  // with a pairing and a search running: the pairing still completes
    searchGate_.open();
    device_->gate.open();
    QTRY_COMPARE_WITH_TIMEOUT(state_->conn(), gt::ConnState::connected("Desk"), kGateMs);
    QCOMPARE(device_->pairs.get().at(0), std::string("192.168.1.7 8080 １２\u0301３４"));  // as typed; the device decides
  }

  void failuresReachTheErrorLine() {
    device_->setAnswer(gt::fail(gt::PairError::transport("<b>bold</b> &amp;")));
    find({dev("Desk", "192.168.1.7"), dev("Phone", "192.168.1.8")});
    view_->show();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), kGateMs);
    userPicks(1);
    QTest::keyClicks(codeField(), "1234");
    pairAndWait();
    auto* line = child<QLabel>("pairError");
    QCOMPARE(line->text(), QStringLiteral("无法连接设备：<b>bold</b> &amp;"));
    QCOMPARE(line->textFormat(), Qt::PlainText);
    QCOMPARE(looks(), QStringLiteral("---++++"));  // the user can correct the code and try again
    QCOMPARE(view_->selected()->name, std::string("Phone"));
    // A record that cannot be saved (its folder would lie under a plain file) is a failure too.
    device_->setAnswer(gt::PairSuccess{"tok", "phone"});
    gt::test::writeAll(home_->path() / "blocker", "x");
    ConfigStore::setBaseDir(home_->path() / "blocker" / "base");
    device_->gate.close();
    click("pairButton");
    QVERIFY(line->isVisible());  // pressing pair again does not clear the line; the next outcome replaces it
    device_->gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->busy(), kGateMs);
    QVERIFY2(view_->error()->startsWith(QStringLiteral("配对失败：")), qPrintable(*view_->error()));
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    searchGate_.close();
    click("rescanButton");
    QVERIFY(!line->isVisible());  // a new search clears it at once
    searchGate_.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), kGateMs);
    QCOMPARE(codeField()->text(), QStringLiteral("1234"));  // the code survives a search
    QVERIFY(view_->minimumSizeHint().width() <= 280);
  }
};

QTEST_MAIN(PairingViewTest)
#include "pairing_view_test.moc"

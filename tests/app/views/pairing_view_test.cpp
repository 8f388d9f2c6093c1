// The pairing view against a scripted search and a stand-in device, with a real pairing store in a
// temporary folder.
#include "app/views/pairing_view.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThreadPool>

#include "support/app_test_support.h"
#include "app/views/view_tasks.h"

using namespace apptest;

namespace {

gt::DiscoveredDevice dev(std::string name, std::string host, std::string model = {}) {
  return {std::move(name), std::move(host), 8081, 8080, std::move(model), {}};
}

// Answers each search with the current result; can hold a search open.
struct FakeSearch {
  std::atomic<int> calls{0};
  Gate gate;
  std::mutex mu;
  PairingView::SearchResult result;
  void set(std::vector<gt::DiscoveredDevice> devices, std::string problem = {}) {
    std::lock_guard lock(mu);
    result = {std::move(devices), std::move(problem)};
  }
};

}  // namespace

class PairingViewTest : public QObject {
  Q_OBJECT
  std::unique_ptr<TempHome> home_;
  std::shared_ptr<FakeDevice> device_;
  std::unique_ptr<AppState> state_;
  std::unique_ptr<FakeSearch> search_;
  std::unique_ptr<PairingView> view_;
  int quits_ = 0;

  template <typename T = QPushButton>
  T* child(const char* name) {
    auto* w = view_->findChild<T*>(QString::fromLatin1(name));
    if (!w) qFatal("no widget %s", name);
    return w;
  }
  QLineEdit* codeField() { return child<QLineEdit>("codeField"); }
  QComboBox* picker() { return child<QComboBox>("devicePicker"); }
  QLabel* errorLine() { return child<QLabel>("pairError"); }
  QString looks() {
    return apptest::looks(view_.get(),
                          "searchingRow noDeviceLabel discoveryProblem devicePicker rescanButton pairButton pairError");
  }
  void click(const char* button) { QTest::mouseClick(child(button), Qt::LeftButton); }

  void showWith(std::vector<gt::DiscoveredDevice> devices) {
    search_->set(std::move(devices));
    view_->show();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), kGateMs);
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
    home_ = std::make_unique<TempHome>();
    device_ = std::make_shared<FakeDevice>();
    state_ = makeState(device_);
    search_ = std::make_unique<FakeSearch>();
    quits_ = 0;
    auto discover = [s = search_.get()] {
      ++s->calls;
      s->gate.wait();
      std::lock_guard lock(s->mu);
      return s->result;
    };
    view_ = std::make_unique<PairingView>(state_.get(), discover, [this] { ++quits_; });
    view_->resize(320, view_->sizeHint().height());
  }
  void cleanup() {
    search_->gate.open();
    device_->gate.open();
    view_.reset();
    // Pool tasks may still hold the fakes; let them finish before the fakes go.
    ViewTasks::pool()->waitForDone(kGateMs);
    state_.reset();
    QTest::qWait(0);
    search_.reset();
    home_.reset();
  }

  void firstRenderShowsSearching() {
    search_->gate.close();
    search_->set({dev("Desk", "192.168.1.7")});
    QVERIFY(view_->searching());  // before anything runs
    view_->show();
    QCOMPARE(looks(), QStringLiteral("+---xx-"));
    QCOMPARE(child("pairButton")->text(), QStringLiteral("配对"));
    search_->gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), kGateMs);
    QCOMPARE(looks(), QStringLiteral("---++x-"));
    // One search for the appearance, however often the view is shown again.
    view_->hide();
    view_->show();
    QTest::qWait(20);
    QCOMPARE(search_->calls.load(), 1);
    // Nothing found: said so, with the reason; a full code cannot pair with nothing selected.
    search_->set({}, "avahi-daemon is not running");
    rescan();
    QTest::keyClicks(codeField(), "1234");
    QCOMPARE(looks(), QStringLiteral("-++-+x-"));
    QCOMPARE(child<QLabel>("noDeviceLabel")->text(),
             QStringLiteral("未发现设备。请确认手机 App 已打开，且与 Mac 在同一网络。"));
  }

  void entriesAndSelectionAfterEachSearch() {
    showWith({dev("Desk", "192.168.1.7"), dev("Phone", "192.168.1.8", "Pixel 8")});
    QCOMPARE(picker()->count(), 2);
    QCOMPARE(picker()->itemText(0), QStringLiteral("Desk (unknown) @ 192.168.1.7"));
    QCOMPARE(picker()->itemText(1), QStringLiteral("Phone (Pixel 8) @ 192.168.1.8"));
    QCOMPARE(view_->selected()->name, std::string("Desk"));
    userPicks(1);
    QCOMPARE(view_->selected()->name, std::string("Phone"));
    // A new search selects the first device again, whatever was picked; an empty one clears the selection.
    rescan();
    QCOMPARE(search_->calls.load(), 2);
    QCOMPARE(view_->selected()->name, std::string("Desk"));
    QCOMPARE(picker()->currentIndex(), 0);
    search_->set({});
    rescan();
    QVERIFY(!view_->selected());
    // Of two devices with one name, the first is the one picked and paired with.
    search_->set({dev("Dup", "10.0.0.1"), dev("Dup", "10.0.0.2")});
    rescan();
    userPicks(1);
    QCOMPARE(view_->selected()->host, std::string("10.0.0.1"));
    QCOMPARE(picker()->currentIndex(), 0);
    QTest::keyClicks(codeField(), "1234");
    pairAndWait();
    QCOMPARE(device_->pairs().at(0).host, std::string("10.0.0.1"));
  }

  void codeFieldFiltersAndEnablesAtFour() {
    showWith({dev("Desk", "192.168.1.7")});
    QCOMPARE(codeField()->placeholderText(), QStringLiteral("手机上的 4 位配对码"));
    QTest::keyClicks(codeField(), "1a2 b3");
    QCOMPARE(view_->code(), QStringLiteral("123"));
    QVERIFY(!child("pairButton")->isEnabled());
    QTest::keyClicks(codeField(), "45");  // a fifth digit has no effect
    QCOMPARE(codeField()->text(), QStringLiteral("1234"));
    QVERIFY(child("pairButton")->isEnabled());
    QTest::keyClick(codeField(), Qt::Key_Backspace);
    QVERIFY(!child("pairButton")->isEnabled());
    // Typing in the middle keeps the cursor where the user typed.
    codeField()->setCursorPosition(1);
    QTest::keyClicks(codeField(), "x9");
    QCOMPARE(codeField()->text(), QStringLiteral("1923"));
    QCOMPARE(codeField()->cursorPosition(), 2);
    codeField()->clear();
    codeField()->insert(QStringLiteral("987654"));  // a paste
    QCOMPARE(codeField()->text(), QStringLiteral("9876"));
    codeField()->clear();
    codeField()->insert(QStringLiteral("１２３４"));
    pairAndWait();
    QCOMPARE(device_->pairs().at(0).codeOrToken, std::string("１２３４"));  // as typed; the device decides
  }

  void pairingShowsBusyThenSucceeds() {
    showWith({dev("Desk", "192.168.1.7")});
    QTest::keyClicks(codeField(), "4321");
    device_->gate.close();
    click("pairButton");
    QVERIFY(view_->busy());
    QCOMPARE(child("pairButton")->text(), QStringLiteral("配对中…"));
    QCOMPARE(looks(), QStringLiteral("---++x-"));  // searching stays possible while pairing
    device_->gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->busy(), kGateMs);
    QCOMPARE(child("pairButton")->text(), QStringLiteral("配对"));
    QVERIFY(!view_->error());
    QVERIFY(!errorLine()->isVisible());
    QCOMPARE(state_->conn(), gt::ConnState::connected("Desk"));
    QCOMPARE(state_->cfg()->httpPort, std::int64_t(8080));
    QCOMPARE(state_->cfg()->wsPort, std::int64_t(8081));
    const auto calls = device_->pairs();
    QCOMPARE(calls.size(), std::size_t(1));
    QCOMPARE(calls[0].host + " " + calls[0].codeOrToken, std::string("192.168.1.7 4321"));
  }

  // The texts are checked with the CLI; here: shown as plain text, the view kept as it was.
  void failuresReachTheErrorLine() {
    device_->setAnswer(gt::PairError::transport("<b>bold</b> &amp;"));
    showWith({dev("Desk", "192.168.1.7"), dev("Phone", "192.168.1.8")});
    userPicks(1);
    QTest::keyClicks(codeField(), "1234");
    pairAndWait();
    QCOMPARE(*view_->error(), QStringLiteral("无法连接设备：<b>bold</b> &amp;"));
    QCOMPARE(errorLine()->text(), *view_->error());
    QCOMPARE(errorLine()->textFormat(), Qt::PlainText);
    // The user can correct the code and try again.
    QCOMPARE(looks(), QStringLiteral("---++++"));
    QCOMPARE(codeField()->text(), QStringLiteral("1234"));
    QCOMPARE(view_->selected()->name, std::string("Phone"));
    QCOMPARE(view_->devices().size(), std::size_t(2));
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    device_->setAnswer(gt::PairError::locked(-5));  // the phone's number shown as sent, even a negative one
    pairAndWait();
    QCOMPARE(errorLine()->text(), QStringLiteral("配对已锁定，请 -5 秒后重试。"));

    // A record that cannot be saved (its folder would lie under a plain file) is a failure too.
    device_->setAnswer(gt::PairSuccess{"tok", "phone"});
    gt::test::writeAll(home_->dir.path() / "blocker", "x");
    gt::ConfigStore::setBaseDir(home_->dir.path() / "blocker" / "base");
    pairAndWait();
    QVERIFY2(view_->error()->startsWith(QStringLiteral("配对失败：")), qPrintable(*view_->error()));
    QVERIFY(view_->error()->size() > QStringLiteral("配对失败：").size());
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());

    // The panel is 320 px wide; long names and messages must wrap or elide, not widen it.
    device_->setAnswer(gt::PairError::transport("Could not connect to server: a long reason without any end in sight"));
    search_->set(
        {dev("A device with a really very long name that goes on and on", "192.168.100.200", "Some Phone XL")});
    rescan();
    pairAndWait();
    QVERIFY2(view_->minimumSizeHint().width() <= 280, qPrintable(QString::number(view_->minimumSizeHint().width())));
    click("quitButton");
    QCOMPARE(quits_, 1);
  }

  void newSearchClearsTheError() {
    device_->setAnswer(gt::PairError::invalidCode());
    showWith({dev("Desk", "192.168.1.7")});
    QTest::keyClicks(codeField(), "0000");
    pairAndWait();
    QCOMPARE(errorLine()->text(), QStringLiteral("配对码错误，请核对手机屏幕上显示的 4 位数字。"));
    // Pressing pair again does not clear the line; only the next outcome replaces it.
    device_->gate.close();
    click("pairButton");
    QVERIFY(errorLine()->isVisible());
    device_->gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->busy(), kGateMs);
    search_->gate.close();
    click("rescanButton");
    QVERIFY(view_->searching());
    QVERIFY(!errorLine()->isVisible());  // cleared at once, not when the search ends
    search_->gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), kGateMs);
    QCOMPARE(codeField()->text(), QStringLiteral("0000"));  // the code survives a search
  }

  void viewGoneBeforeResults() {
    // The search result and the pairing outcome arrive after the view is gone: nothing may touch it.
    showWith({dev("Desk", "192.168.1.7")});
    QTest::keyClicks(codeField(), "1234");
    device_->gate.close();
    click("pairButton");
    search_->gate.close();
    click("rescanButton");
    view_.reset();
    search_->gate.open();
    device_->gate.open();
    QTRY_COMPARE_WITH_TIMEOUT(state_->conn(), gt::ConnState::connected("Desk"), kGateMs);
  }
};

QTEST_MAIN(PairingViewTest)
#include "pairing_view_test.moc"

// The pairing view against a scripted search and a stand-in device, with a real pairing store in a
// temporary base directory.
#include "app/views/pairing_view.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>
#include <filesystem>
#include <fstream>

#include "app/views/view_tasks.h"
#include "core/pairing/clock_config.h"
#include "view_test_support.h"

using viewtest::FakeDevice;
using viewtest::Gate;

namespace {

gt::DiscoveredDevice dev(std::string name, std::string host, std::string model = {}) {
  gt::DiscoveredDevice d;
  d.name = std::move(name);
  d.host = std::move(host);
  d.httpPort = 8080;
  d.wsPort = 8081;
  d.device = std::move(model);
  return d;
}

// Answers each search with the current list; can hold a search open.
class FakeSearch {
 public:
  PairingView::DiscoverFn fn() {
    return [this] {
      ++calls;
      gate.wait();
      std::lock_guard lock(mu_);
      return PairingView::SearchResult{devices_, problem_};
    };
  }
  void set(std::vector<gt::DiscoveredDevice> devices, std::string problem = {}) {
    std::lock_guard lock(mu_);
    devices_ = std::move(devices);
    problem_ = std::move(problem);
  }
  std::atomic<int> calls{0};
  Gate gate;

 private:
  std::mutex mu_;
  std::vector<gt::DiscoveredDevice> devices_;
  std::string problem_;
};

}  // namespace

class PairingViewTest : public QObject {
  Q_OBJECT

  QTemporaryDir home_;
  std::shared_ptr<FakeDevice> device_;
  std::unique_ptr<AppState> state_;
  std::unique_ptr<FakeSearch> search_;
  std::unique_ptr<PairingView> view_;
  int quits_ = 0;

  template <typename T>
  T* child(const char* name) {
    auto* w = view_->findChild<T*>(QString::fromLatin1(name));
    if (!w) qFatal("no widget %s", name);
    return w;
  }
  QLineEdit* codeField() { return child<QLineEdit>("codeField"); }
  QPushButton* pairButton() { return child<QPushButton>("pairButton"); }
  QComboBox* picker() { return child<QComboBox>("devicePicker"); }
  QLabel* errorLine() { return child<QLabel>("pairError"); }

  void showWith(std::vector<gt::DiscoveredDevice> devices) {
    search_->set(std::move(devices));
    view_->show();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), viewtest::kGateMs);
  }
  void userPicks(int index) {
    picker()->setCurrentIndex(index);
    emit picker()->activated(index);
  }
  void pairAndWait() {
    QVERIFY(pairButton()->isEnabled());
    QTest::mouseClick(pairButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!view_->busy(), viewtest::kGateMs);
  }

 private slots:
  void init() {
    QVERIFY(home_.isValid());
    gt::ConfigStore::setBaseDir(std::filesystem::path(home_.path().toStdString()) / "base");
    device_ = std::make_shared<FakeDevice>();
    state_ = viewtest::makeState(device_);
    search_ = std::make_unique<FakeSearch>();
    quits_ = 0;
    view_ = std::make_unique<PairingView>(state_.get(), search_->fn(), [this] { ++quits_; });
    view_->resize(320, view_->sizeHint().height());
  }
  void cleanup() {
    search_->gate.open();
    device_->gate.open();
    view_.reset();
    // Pool tasks may still hold the fakes; let them finish before the fakes go.
    ViewTasks::pool()->waitForDone(viewtest::kGateMs);
    state_.reset();
    QTest::qWait(0);
    search_.reset();
    gt::ConfigStore::resetBaseDir();
  }

  void firstRenderShowsSearching() {
    search_->gate.close();
    search_->set({dev("Desk", "192.168.1.7")});
    // Before anything runs the view already says it is searching.
    QVERIFY(view_->searching());
    view_->show();
    QVERIFY(child<QWidget>("searchingRow")->isVisible());
    QVERIFY(!child<QLabel>("noDeviceLabel")->isVisible());
    QVERIFY(!picker()->isVisible());
    QVERIFY(!child<QPushButton>("rescanButton")->isEnabled());
    QVERIFY(!pairButton()->isEnabled());
    QCOMPARE(pairButton()->text(), QStringLiteral("配对"));
    QVERIFY(!errorLine()->isVisible());
    viewtest::shot(view_.get(), "pairing-searching");
    search_->gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), viewtest::kGateMs);
    QVERIFY(!child<QWidget>("searchingRow")->isVisible());
    QVERIFY(picker()->isVisible());
    QVERIFY(child<QPushButton>("rescanButton")->isEnabled());
    // One search for the appearance, however often the view is shown again.
    view_->hide();
    view_->show();
    QTest::qWait(20);
    QCOMPARE(search_->calls.load(), 1);
  }

  void noDeviceFound() {
    search_->set({}, "avahi-daemon is not running");
    view_->show();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), viewtest::kGateMs);
    auto* none = child<QLabel>("noDeviceLabel");
    QVERIFY(none->isVisible());
    QCOMPARE(none->text(), QStringLiteral("未发现设备。请确认手机 App 已打开，且与 Mac 在同一网络。"));
    QVERIFY(child<QLabel>("discoveryProblem")->isVisible());
    QVERIFY(!picker()->isVisible());
    QTest::keyClicks(codeField(), "1234");
    QVERIFY(!pairButton()->isEnabled());  // nothing selected
    QVERIFY(child<QPushButton>("rescanButton")->isEnabled());
    viewtest::shot(view_.get(), "pairing-no-device");
  }

  void entriesAndSelectionAfterEachSearch() {
    showWith({dev("Desk", "192.168.1.7"), dev("Phone", "192.168.1.8", "Pixel 8")});
    QCOMPARE(picker()->count(), 2);
    QCOMPARE(picker()->itemText(0), QStringLiteral("Desk (unknown) @ 192.168.1.7"));
    QCOMPARE(picker()->itemText(1), QStringLiteral("Phone (Pixel 8) @ 192.168.1.8"));
    QCOMPARE(view_->selected()->name, std::string("Desk"));
    userPicks(1);
    QCOMPARE(view_->selected()->name, std::string("Phone"));
    QCOMPARE(picker()->currentIndex(), 1);
    // A new search selects the first device again, whatever was picked.
    QTest::mouseClick(child<QPushButton>("rescanButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), viewtest::kGateMs);
    QCOMPARE(search_->calls.load(), 2);
    QCOMPARE(view_->selected()->name, std::string("Desk"));
    QCOMPARE(picker()->currentIndex(), 0);
    // An empty result clears the selection.
    search_->set({});
    QTest::mouseClick(child<QPushButton>("rescanButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), viewtest::kGateMs);
    QVERIFY(!view_->selected());
  }

  void sameNamePicksTheFirst() {
    showWith({dev("Dup", "10.0.0.1"), dev("Dup", "10.0.0.2")});
    userPicks(1);
    QCOMPARE(view_->selected()->host, std::string("10.0.0.1"));
    QCOMPARE(picker()->currentIndex(), 0);
    QTest::keyClicks(codeField(), "1234");
    pairAndWait();
    QCOMPARE(device_->calls().at(0).host, std::string("10.0.0.1"));
  }

  void codeFieldFiltersAndEnablesAtFour() {
    showWith({dev("Desk", "192.168.1.7")});
    QCOMPARE(codeField()->placeholderText(), QStringLiteral("手机上的 4 位配对码"));
    QTest::keyClicks(codeField(), "1a2 b3");
    QCOMPARE(codeField()->text(), QStringLiteral("123"));
    QCOMPARE(view_->code(), QStringLiteral("123"));
    QVERIFY(!pairButton()->isEnabled());
    QTest::keyClicks(codeField(), "4");
    QVERIFY(pairButton()->isEnabled());
    QTest::keyClicks(codeField(), "5");  // a fifth digit has no effect
    QCOMPARE(codeField()->text(), QStringLiteral("1234"));
    QTest::keyClick(codeField(), Qt::Key_Backspace);
    QVERIFY(!pairButton()->isEnabled());
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
    QCOMPARE(codeField()->text(), QStringLiteral("１２３４"));
    QVERIFY(pairButton()->isEnabled());
    pairAndWait();
    // Sent as typed; the device decides what it accepts.
    QCOMPARE(device_->calls().at(0).code, std::string("１２３４"));
  }

  void pairingShowsBusyThenSucceeds() {
    showWith({dev("Desk", "192.168.1.7")});
    QTest::keyClicks(codeField(), "4321");
    device_->gate.close();
    QTest::mouseClick(pairButton(), Qt::LeftButton);
    QVERIFY(view_->busy());
    QCOMPARE(pairButton()->text(), QStringLiteral("配对中…"));
    QVERIFY(!pairButton()->isEnabled());
    // Searching stays possible while pairing.
    QVERIFY(child<QPushButton>("rescanButton")->isEnabled());
    device_->gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->busy(), viewtest::kGateMs);
    QCOMPARE(pairButton()->text(), QStringLiteral("配对"));
    QVERIFY(!view_->error());
    QVERIFY(!errorLine()->isVisible());
    QCOMPARE(state_->conn(), gt::ConnState::connected("Desk"));
    QCOMPARE(state_->cfg()->httpPort, std::int64_t(8080));
    QCOMPARE(state_->cfg()->wsPort, std::int64_t(8081));
    const auto calls = device_->calls();
    QCOMPARE(calls.size(), std::size_t(1));
    QCOMPARE(calls[0].host, std::string("192.168.1.7"));
    QCOMPARE(calls[0].code, std::string("4321"));
  }

  void everyFailureReachesTheErrorLine_data() {
    QTest::addColumn<int>("which");
    QTest::addColumn<QString>("text");
    QTest::newRow("locked") << 0 << QStringLiteral("配对已锁定，请 30 秒后重试。");
    QTest::newRow("locked negative") << 1 << QStringLiteral("配对已锁定，请 -5 秒后重试。");
    QTest::newRow("invalid code") << 2 << QStringLiteral("配对码错误，请核对手机屏幕上显示的 4 位数字。");
    QTest::newRow("http") << 3 << QStringLiteral("配对失败（HTTP 500）。");
    QTest::newRow("transport") << 4 << QStringLiteral("无法连接设备：Connection refused");
    QTest::newRow("markup stays text") << 5 << QStringLiteral("无法连接设备：<b>bold</b> &amp;");
  }
  void everyFailureReachesTheErrorLine() {
    QFETCH(int, which);
    QFETCH(QString, text);
    const gt::PairError errors[] = {gt::PairError::locked(30),
                                    gt::PairError::locked(-5),
                                    gt::PairError::invalidCode(),
                                    gt::PairError::http(500, "internal details"),
                                    gt::PairError::transport("Connection refused"),
                                    gt::PairError::transport("<b>bold</b> &amp;")};
    device_->setAnswer(errors[which]);
    showWith({dev("Desk", "192.168.1.7"), dev("Phone", "192.168.1.8")});
    userPicks(1);
    QTest::keyClicks(codeField(), "1234");
    pairAndWait();
    QCOMPARE(*view_->error(), text);
    QVERIFY(errorLine()->isVisible());
    QCOMPARE(errorLine()->text(), text);
    QCOMPARE(errorLine()->textFormat(), Qt::PlainText);
    // The view stays as it was, so the user can correct the code and try again.
    QCOMPARE(codeField()->text(), QStringLiteral("1234"));
    QCOMPARE(view_->selected()->name, std::string("Phone"));
    QCOMPARE(view_->devices().size(), std::size_t(2));
    QVERIFY(pairButton()->isEnabled());
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
  }

  void storeFailureIsReported() {
    // The base directory cannot be created under a plain file, so saving the record fails.
    const auto blocker = std::filesystem::path(home_.path().toStdString()) / "blocker";
    std::ofstream(blocker) << "x";
    gt::ConfigStore::setBaseDir(blocker / "base");
    showWith({dev("Desk", "192.168.1.7")});
    QTest::keyClicks(codeField(), "1234");
    pairAndWait();
    QVERIFY(view_->error());
    QVERIFY2(view_->error()->startsWith(QStringLiteral("配对失败：")), qPrintable(*view_->error()));
    QVERIFY(view_->error()->size() > QStringLiteral("配对失败：").size());
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
  }

  void newSearchClearsTheError() {
    device_->setAnswer(gt::PairError::invalidCode());
    showWith({dev("Desk", "192.168.1.7")});
    QTest::keyClicks(codeField(), "0000");
    pairAndWait();
    QVERIFY(errorLine()->isVisible());
    // A later failure keeps the line until its own text replaces it; pressing pair does not clear it.
    device_->gate.close();
    QTest::mouseClick(pairButton(), Qt::LeftButton);
    QVERIFY(errorLine()->isVisible());
    device_->gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->busy(), viewtest::kGateMs);
    search_->gate.close();
    QTest::mouseClick(child<QPushButton>("rescanButton"), Qt::LeftButton);
    // Cleared at once, not when the search ends.
    QVERIFY(view_->searching());
    QVERIFY(!errorLine()->isVisible());
    viewtest::shot(view_.get(), "pairing-searching");
    search_->gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->searching(), viewtest::kGateMs);
    QCOMPARE(codeField()->text(), QStringLiteral("0000"));  // the code survives a search
  }

  void viewGoneBeforeResults() {
    // The search result and the pairing outcome arrive after the view is gone: nothing may touch it.
    showWith({dev("Desk", "192.168.1.7")});
    QTest::keyClicks(codeField(), "1234");
    device_->gate.close();
    QTest::mouseClick(pairButton(), Qt::LeftButton);
    search_->gate.close();
    QTest::mouseClick(child<QPushButton>("rescanButton"), Qt::LeftButton);
    view_.reset();
    search_->gate.open();
    device_->gate.open();
    QTRY_COMPARE_WITH_TIMEOUT(state_->conn(), gt::ConnState::connected("Desk"), viewtest::kGateMs);
  }

  void quitAndWidth() {
    gt::DiscoveredDevice longOne =
        dev("A device with a really very long name that goes on and on", "192.168.100.200", "Some Phone Model XL");
    device_->setAnswer(gt::PairError::transport("Could not connect to server: a long reason without any end in sight"));
    showWith({longOne});
    QTest::keyClicks(codeField(), "1234");
    pairAndWait();
    // The panel is 320 px wide; long names and messages must wrap or elide, not widen it.
    viewtest::shot(view_.get(), "pairing-error");
    QVERIFY2(view_->minimumSizeHint().width() <= 280, qPrintable(QString::number(view_->minimumSizeHint().width())));
    QTest::mouseClick(child<QPushButton>("quitButton"), Qt::LeftButton);
    QCOMPARE(quits_, 1);
  }
};

QTEST_MAIN(PairingViewTest)
#include "pairing_view_test.moc"

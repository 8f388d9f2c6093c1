#include "core/discovery/discovery.h"

#include <gtest/gtest.h>

#include <chrono>

#include "fake_dns_sd_backend.h"
#include "loopback_listener.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::FakeDnsSdBackend;
using testing::LoopbackListener;

BrowseResult result(const std::string& name, std::optional<std::vector<std::string>> txt = std::nullopt,
                    int iface = 1) {
  return BrowseResult{ServiceEndpoint{name, "_glowticker._tcp", "local", iface, 0}, std::move(txt)};
}

std::vector<std::string> names(const std::vector<DiscoveredDevice>& devices) {
  std::vector<std::string> out;
  for (const auto& d : devices) out.push_back(d.name);
  return out;
}

class DiscoveryTest : public ::testing::Test {
 protected:
  // Every instance answers on one shared loopback listener unless a test says otherwise.
  void reachable(const std::string& name, int iface = 1) {
    backend->answers[{name, iface}] = {{{"127.0.0.1", listener.port()}}, 0ms};
  }

  std::shared_ptr<FakeDnsSdBackend> backend = std::make_shared<FakeDnsSdBackend>();
  LoopbackListener listener;
};

TEST_F(DiscoveryTest, EmptySearchLastsTheWholeWindowAndConnectsNowhere) {
  Discovery discovery(backend);
  auto start = Clock::now();
  auto devices = discovery.browse(300ms);
  auto took = Clock::now() - start;
  EXPECT_TRUE(devices.empty());
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 2s);
  EXPECT_TRUE(backend->calls().empty());
  EXPECT_EQ(backend->browsed(), (std::pair<std::string, std::string>{"_glowticker._tcp", "local."}));
  EXPECT_EQ(discovery.problem(), "");
}

TEST_F(DiscoveryTest, ResultsOnlyEarlyInTheWindowStillWaitForItsEnd) {
  backend->script = {{0ms, {result("Kitchen")}}};
  reachable("Kitchen");
  auto start = Clock::now();
  auto devices = Discovery(backend).browse(400ms);
  ASSERT_EQ(names(devices), std::vector<std::string>{"Kitchen"});
  ASSERT_EQ(backend->calls().size(), 1u);
  EXPECT_GE(backend->calls()[0].start - start, 400ms);
}

TEST_F(DiscoveryTest, BackendProblemGivesEmptyListAndReason) {
  backend->problem = "avahi-daemon is not running";
  Discovery discovery(backend);
  auto start = Clock::now();
  EXPECT_TRUE(discovery.browse(200ms).empty());
  EXPECT_GE(Clock::now() - start, 200ms);
  EXPECT_EQ(discovery.problem(), "avahi-daemon is not running");
  backend->problem.clear();
  discovery.browse(10ms);
  EXPECT_EQ(discovery.problem(), "");
}

TEST_F(DiscoveryTest, ListIsInCodePointOrderAfterNormalisation) {
  const std::string decomposedE = "e\xCC\x81";  // e + combining acute: NFC gives U+00E9, after "f"
  backend->script = {{0ms, {result("desk"), result(decomposedE), result("Kitchen 2"), result("f")}},
                     {20ms, {result("Kitchen"), result("Desk")}}};
  for (const char* n : {"desk", "Kitchen 2", "f", "Kitchen", "Desk"}) reachable(n);
  reachable(decomposedE);
  auto devices = Discovery(backend).browse(200ms);
  EXPECT_EQ(names(devices), (std::vector<std::string>{"Desk", "Kitchen", "Kitchen 2", "desk", "f", decomposedE}));
  // Resolution followed the same order.
  std::vector<std::string> asked;
  for (const auto& call : backend->calls()) asked.push_back(call.endpoint.name);
  EXPECT_EQ(asked, names(devices));

  EXPECT_TRUE(Discovery::nameLess("Kitchen", "desk"));
  EXPECT_TRUE(Discovery::nameLess("\xC3\xA9", "\xC3\xA9x"));  // a proper prefix first
  EXPECT_FALSE(Discovery::nameLess("e\xCC\x81", "f"));
}

TEST_F(DiscoveryTest, TxtMergeKeepsDataUntilANonEmptyRecordReplacesIt) {
  backend->script = {
      {0ms,
       {result("A", std::vector<std::string>{"ws=9100", "device=Tablet"}),
        result("B", std::vector<std::string>{"v=1"})}},
      // A: an empty record and no record keep what was seen; B: a new record replaces all of the old one.
      {20ms, {result("A", std::vector<std::string>{}), result("B", std::vector<std::string>{"http=7000"})}},
      {40ms, {result("A"), result("B", std::vector<std::string>{"colour=blue"})}},
  };
  reachable("A");
  reachable("B");
  auto devices = Discovery(backend).browse(200ms);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0], (DiscoveredDevice{"A", "127.0.0.1", 9100, 8889, "Tablet", ""}));
  EXPECT_EQ(devices[1], (DiscoveredDevice{"B", "127.0.0.1", listener.port(), 7000, "", ""}));
}

TEST_F(DiscoveryTest, WithdrawnInstanceIsStillResolvedAndLastInterfaceDecides) {
  LoopbackListener second;
  ASSERT_TRUE(second.ok());
  backend->script = {{0ms, {result("Gone"), result("Twice", std::nullopt, 1), result("Twice", std::nullopt, 2)}},
                     {30ms, {}}};
  reachable("Gone");
  backend->answers[{"Twice", 1}] = {{{"127.0.0.1", LoopbackListener::closedPort()}}, 0ms};
  backend->answers[{"Twice", 2}] = {{{"127.0.0.1", second.port()}}, 0ms};
  auto devices = Discovery(backend).browse(150ms);
  ASSERT_EQ(names(devices), (std::vector<std::string>{"Gone", "Twice"}));
  EXPECT_EQ(devices[1].wsPort, second.port());
}

TEST_F(DiscoveryTest, SameDeviceUnderTwoNamesIsListedTwice) {
  backend->script = {{0ms, {result("Phone"), result("Phone (2)")}}};
  reachable("Phone");
  reachable("Phone (2)");
  auto devices = Discovery(backend).browse(100ms);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].host, devices[1].host);
  EXPECT_EQ(devices[0].wsPort, devices[1].wsPort);
}

TEST_F(DiscoveryTest, UnreachableInstancesAreLeftOutAndTheNextIsStillTried) {
  LoopbackListener hole("127.0.0.1", 0);
  ASSERT_TRUE(hole.ok());
  if (!hole.makeBlackhole()) GTEST_SKIP() << "could not fill a loopback accept queue to make a blackhole";
  backend->script = {{0ms,
                      {result("A refused"), result("B blackhole"), result("C slow lookup"), result("D no address"),
                       result("E ok", std::vector<std::string>{"device=Wall"})}}};
  backend->answers[{"A refused", 1}] = {{{"127.0.0.1", LoopbackListener::closedPort()}}, 0ms};
  // The lookup eats most of the second; the connection gets only what is left of it.
  backend->answers[{"B blackhole", 1}] = {{{"127.0.0.1", hole.port()}}, 600ms};
  backend->answers[{"C slow lookup", 1}] = {{{"127.0.0.1", listener.port()}}, 5s};
  backend->answers[{"D no address", 1}] = {{}, 0ms};
  reachable("E ok");

  auto devices = Discovery(backend).browse(50ms);
  ASSERT_EQ(names(devices), std::vector<std::string>{"E ok"});
  EXPECT_EQ(devices[0], (DiscoveredDevice{"E ok", "127.0.0.1", listener.port(), 8889, "Wall", ""}));

  auto calls = backend->calls();
  ASSERT_EQ(calls.size(), 5u);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    auto budget = calls[i].deadline - calls[i].start;
    EXPECT_LE(budget, Discovery::kResolveTimeout) << calls[i].endpoint.name;
    EXPECT_GT(budget, 900ms) << calls[i].endpoint.name;
    if (i > 0) {
      EXPECT_GE(calls[i].start, calls[i - 1].start) << "one after another";
    }
  }
  // The blackhole and the slow lookup each use up their whole second, and no more.
  auto blackhole = calls[2].start - calls[1].start;
  auto slow = calls[3].start - calls[2].start;
  EXPECT_GE(blackhole, 1s);
  EXPECT_LT(blackhole, 1500ms);
  EXPECT_GE(slow, 1s);
  EXPECT_LT(slow, 1500ms);
  EXPECT_LT(calls[1].start - calls[0].start, 500ms) << "a refused connection fails at once";
}

TEST_F(DiscoveryTest, IPv6PeerIsLeftOutWithoutTryingAnotherAddress) {
  LoopbackListener v6("::1");
  if (!v6.ok()) GTEST_SKIP() << "IPv6 loopback (::1) is not available here";
  backend->script = {{0ms, {result("Six"), result("Four")}}};
  backend->answers[{"Six", 1}] = {{{"::1", v6.port()}, {"127.0.0.1", listener.port()}}, 0ms};
  // A refused first address is not a connection: the next address is tried.
  backend->answers[{"Four", 1}] = {{{"127.0.0.1", LoopbackListener::closedPort()}, {"127.0.0.1", listener.port()}},
                                   0ms};
  auto devices = Discovery(backend).browse(50ms);
  ASSERT_EQ(names(devices), std::vector<std::string>{"Four"});
  EXPECT_EQ(devices[0].host, "127.0.0.1");
  EXPECT_EQ(devices[0].wsPort, listener.port());
}

TEST_F(DiscoveryTest, PeerAddressComesFromTheConnection) {
  // The candidate is given in another spelling; the reported host is what the socket says.
  backend->script = {{0ms, {result("Desk", std::vector<std::string>{"ws=9100", "http=9101", "v=1.4.2"})}}};
  backend->answers[{"Desk", 1}] = {{{"::ffff:127.0.0.1", listener.port()}}, 0ms};
  auto devices = Discovery(backend).browse(50ms);
  // An IPv4-mapped IPv6 peer is written with ":" and so is left out like any IPv6 peer.
  EXPECT_TRUE(devices.empty());

  backend->answers[{"Desk", 1}] = {{{"127.000.000.001", listener.port()}, {"127.0.0.1", listener.port()}}, 0ms};
  devices = Discovery(backend).browse(50ms);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0], (DiscoveredDevice{"Desk", "127.0.0.1", 9100, 9101, "", "1.4.2"}));
}

}  // namespace
}  // namespace gt

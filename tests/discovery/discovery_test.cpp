#include "core/discovery/discovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stop_token>
#include <thread>

#include "support/test_http_server.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Plays scripted results on its own thread like a real browser, resolves from a table, records the calls.
struct FakeBackend : DnsSdBackend {
  struct Answer {
    std::vector<AddressCandidate> candidates;
    std::chrono::milliseconds delay{0};  // how long the lookup takes (cut short by the deadline)
  };
  struct Call {
    ServiceEndpoint endpoint;
    Clock::time_point start, deadline;
  };
  struct Browse : DnsSdBrowse {
    Browse(const FakeBackend& owner, ResultsHandler handler)
        : owner(owner), thread([this, handler](std::stop_token stop) {
            auto begin = Clock::now();
            for (const auto& [at, results] : this->owner.script) {
              while (!stop.stop_requested() && Clock::now() < begin + at) std::this_thread::sleep_for(1ms);
              if (stop.stop_requested()) return;
              handler(results);
            }
          }) {}
    void stop() override {
      thread.request_stop();
      if (thread.joinable()) thread.join();
    }
    std::optional<Problem<BrowseProblem>> problem() const override { return owner.problem; }
    const FakeBackend& owner;
    std::jthread thread;
  };

  std::unique_ptr<DnsSdBrowse> startBrowse(const std::string&, const std::string&,
                                           ResultsHandler handler) override {
    return std::make_unique<Browse>(*this, std::move(handler));
  }
  // Called one after another on the thread that browses.
  std::vector<AddressCandidate> resolve(const ServiceEndpoint& endpoint, Clock::time_point deadline) override {
    calls.push_back({endpoint, Clock::now(), deadline});
    auto it = answers.find({endpoint.name, endpoint.interfaceIndex});
    if (it == answers.end()) return {};
    std::this_thread::sleep_until(std::min(deadline, calls.back().start + it->second.delay));
    return calls.back().start + it->second.delay >= deadline ? std::vector<AddressCandidate>{} : it->second.candidates;
  }

  std::vector<std::pair<std::chrono::milliseconds, std::vector<BrowseResult>>> script;
  std::optional<Problem<BrowseProblem>> problem;
  std::map<std::pair<std::string, int>, Answer> answers;  // by instance name and interface
  std::vector<Call> calls;
};

// The search only connects: a loopback HTTP server serves as the listener; a closed port refuses.
struct Listener : test::TestHttpServer {
  Listener() : TestHttpServer(false, [](const test::HttpRequest&) { return test::HttpReply{}; }) {}
  std::uint16_t port() const { return static_cast<std::uint16_t>(TestHttpServer::port()); }
};
std::uint16_t closedPort() { return static_cast<std::uint16_t>(test::unusedLoopbackPort()); }

BrowseResult result(const std::string& name, std::optional<std::vector<std::string>> txt = std::nullopt,
                    int iface = 1) {
  return BrowseResult{ServiceEndpoint{name, "_glowticker._tcp", "local", iface, 0}, std::move(txt)};
}

std::vector<std::string> names(const std::vector<DiscoveredDevice>& devices) {
  std::vector<std::string> out(devices.size());
  std::transform(devices.begin(), devices.end(), out.begin(), [](auto& d) { return d.name; });
  return out;
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void reachable(const std::string& name) { backend->answers[{name, 1}] = {{{"127.0.0.1", listener.port()}}}; }
  std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
  Listener listener;
};

// A browse that cannot see the network fails with its problem, resolving nothing. The window's length is
// timed against real daemons (AvahiNetns).
TEST_F(DiscoveryTest, BackendProblemFailsTheSearch) {
  backend->problem = Problem<BrowseProblem>{BrowseProblem::noDaemon, "avahi-daemon is not running"};
  backend->script = {{0ms, {result("Kitchen")}}};
  reachable("Kitchen");
  EXPECT_EQ(Discovery(backend).browse(50ms).error(), *backend->problem);
  EXPECT_TRUE(backend->calls.empty());
}

// Several names on one listener also shows that one device under two names is listed twice.
TEST_F(DiscoveryTest, ListIsInCodePointOrderAfterNormalisation) {
  const std::string decomposedE = "e\xCC\x81";  // NFC gives U+00E9, after "f"
  backend->script = {{0ms, {result("desk"), result(decomposedE), result("Kitchen 2"), result("f")}},
                     {20ms, {result("Kitchen"), result("Desk")}}};
  for (std::string n : {"desk", "Kitchen 2", "f", "Kitchen", "Desk"}) reachable(n);
  reachable(decomposedE);
  auto devices = Discovery(backend).browse(200ms).value();
  EXPECT_EQ(names(devices), (std::vector<std::string>{"Desk", "Kitchen", "Kitchen 2", "desk", "f", decomposedE}));
  std::vector<std::string> asked(backend->calls.size());  // resolution followed the same order
  std::transform(backend->calls.begin(), backend->calls.end(), asked.begin(), [](auto& c) { return c.endpoint.name; });
  EXPECT_EQ(asked, names(devices));
}

// TXT kept until a non-empty one replaces it; a withdrawn instance still resolves; of two interfaces the last
// decides; the host is the connected peer's address, and an IPv6 (here IPv4-mapped) peer is left out.
TEST_F(DiscoveryTest, TxtMergeWithdrawalInterfacesAndPeerAddress) {
  using S = std::vector<std::string>;
  Listener second;
  backend->script = {
      {0ms, {result("A", S{"ws=9100", "device=Tablet"}), result("B", S{"v=1"}), result("Twice", std::nullopt, 1),
             result("Twice", std::nullopt, 2), result("Six"), result("Four")}},
      {20ms, {result("A", S{}), result("B", S{"http=7000"})}},
      {40ms, {result("A"), result("B", S{"colour=blue"})}},
      {60ms, {}}};
  reachable("A");
  backend->answers[{"B", 1}] = {{{"127.000.000.001", listener.port()}, {"127.0.0.1", listener.port()}}};
  backend->answers[{"Twice", 1}] = {{{"127.0.0.1", closedPort()}}};
  backend->answers[{"Twice", 2}] = {{{"127.0.0.1", second.port()}}};
  backend->answers[{"Six", 1}] = {{{"::ffff:127.0.0.1", listener.port()}, {"127.0.0.1", listener.port()}}};
  backend->answers[{"Four", 1}] = {{{"127.0.0.1", closedPort()}, {"127.0.0.1", listener.port()}}};
  auto devices = Discovery(backend).browse(200ms).value();
  ASSERT_EQ(names(devices), (std::vector<std::string>{"A", "B", "Four", "Twice"}));
  EXPECT_EQ(devices[0], (DiscoveredDevice{"A", "127.0.0.1", 9100, 8889, "Tablet", ""}));
  EXPECT_EQ(devices[1], (DiscoveredDevice{"B", "127.0.0.1", listener.port(), 7000, "", ""}));
  EXPECT_EQ(devices[2], (DiscoveredDevice{"Four", "127.0.0.1", listener.port(), 8889, "", ""}));
  EXPECT_EQ(devices[3].wsPort, second.port());
}

// A refused connection fails at once; a slow lookup uses up its own second and no more.
TEST_F(DiscoveryTest, UnreachableInstancesAreLeftOutAndTheNextIsStillTried) {
  backend->script = {{0ms, {result("A refused"), result("B slow lookup"), result("C no address"),
                            result("D ok", std::vector<std::string>{"device=Wall"})}}};
  backend->answers[{"A refused", 1}] = {{{"127.0.0.1", closedPort()}}};
  backend->answers[{"B slow lookup", 1}] = {{{"127.0.0.1", listener.port()}}, 5s};
  backend->answers[{"C no address", 1}] = {};
  reachable("D ok");
  auto devices = Discovery(backend).browse(50ms).value();
  ASSERT_EQ(names(devices), std::vector<std::string>{"D ok"});
  EXPECT_EQ(devices[0], (DiscoveredDevice{"D ok", "127.0.0.1", listener.port(), 8889, "Wall", ""}));
  auto calls = backend->calls;
  ASSERT_EQ(calls.size(), 4u);
  for (const auto& call : calls) {
    EXPECT_LE(call.deadline - call.start, Discovery::kResolveTimeout) << call.endpoint.name;
    EXPECT_GT(call.deadline - call.start, 900ms) << call.endpoint.name;
  }
  EXPECT_LT(calls[1].start - calls[0].start, 500ms) << "a refused connection fails at once";
  EXPECT_GE(calls[2].start - calls[1].start, 1s);
  EXPECT_LT(calls[2].start - calls[1].start, 1500ms);
}

}  // namespace
}  // namespace gt

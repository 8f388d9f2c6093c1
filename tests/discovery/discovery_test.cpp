// The search and the TXT rules against a scripted DNS-SD backend and loopback sockets: what the namespace test cannot.
#include "core/discovery/discovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <map>
#include <thread>

namespace gt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

// Delivers its scripted result sets at once, in order; resolves from a table and records each call.
struct FakeBackend : DnsSdBackend {
  struct Browse : DnsSdBrowse {
    explicit Browse(std::optional<Problem<BrowseProblem>> p) : found(std::move(p)) {}
    std::optional<Problem<BrowseProblem>> found;
    void stop() override {}
    std::optional<Problem<BrowseProblem>> problem() const override { return found; }
  };
  struct Call {
    std::string name;
    Clock::time_point start, deadline;
  };
  std::unique_ptr<DnsSdBrowse> startBrowse(const std::string&, const std::string&, ResultsHandler handler) override {
    for (const auto& results : script) handler(results);
    return std::make_unique<Browse>(problem);
  }
  // A lookup with no answer in the table waits out its deadline, as a daemon that never answers.
  std::vector<AddressCandidate> resolve(const ServiceEndpoint& e, Clock::time_point deadline) override {
    calls.push_back({e.name, Clock::now(), deadline});
    auto it = answers.find({e.name, e.interfaceIndex});
    if (it == answers.end()) std::this_thread::sleep_until(deadline);
    return it == answers.end() ? std::vector<AddressCandidate>{} : it->second;
  }
  std::vector<std::vector<BrowseResult>> script;
  std::optional<Problem<BrowseProblem>> problem;
  std::map<std::pair<std::string, int>, std::vector<AddressCandidate>> answers;  // by name and interface
  std::vector<Call> calls;
};

// A loopback port that takes connections (the kernel completes them; nothing is read), open until the test ends.
std::uint16_t listeningPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  ::listen(fd, 64);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}
constexpr std::uint16_t kClosed = 1;  // nothing listens on 127.0.0.1:1

BrowseResult result(const std::string& name, std::optional<Strings> txt = std::nullopt, int iface = 1) {
  return BrowseResult{ServiceEndpoint{name, "_glowticker._tcp", "local", iface, 0}, std::move(txt)};
}

// The search ends as soon as the browse has a problem: nothing but the problem ends an hour's window.
TEST(Discovery, ABrowseProblemEndsTheSearchAtOnce) {
  auto backend = std::make_shared<FakeBackend>();
  backend->problem = Problem<BrowseProblem>{BrowseProblem::noDaemon, "avahi-daemon is not running"};
  backend->script = {{result("Kitchen")}};
  backend->answers[{"Kitchen", 1}] = {{"127.0.0.1", kClosed}};
  EXPECT_EQ(Discovery(backend).browse(std::chrono::hours(1)).error(), *backend->problem);
  EXPECT_TRUE(backend->calls.empty());
}

// Code point order after NFC; TXT kept until a non-empty one replaces it; of two interfaces the last seen decides; the
// first connected peer is the host (IPv6 left out); a lookup that never answers uses up its own second and no more.
TEST(Discovery, ListsEachReachableInstanceOnceInNameOrder) {
  const std::string e = "e\xCC\x81";
  const std::uint16_t port = listeningPort();
  auto backend = std::make_shared<FakeBackend>();
  backend->script = {
      {result("f"), result(e), result("A", Strings{"ws=9100", "device=Tablet"}), result("B", Strings{"v=1"}),
       result("Two", std::nullopt, 1), result("Two", std::nullopt, 2), result("Six"), result("Four"), result("slow")},
      {result("A", Strings{}), result("B", Strings{"http=7000"})},
      {result("A"), result("B", Strings{"colour=blue"})}};
  for (const std::string& n : {std::string("f"), e, std::string("A")}) backend->answers[{n, 1}] = {{"127.0.0.1", port}};
  backend->answers[{"B", 1}] = {{"127.000.000.001", port}, {"127.0.0.2", port}};
  backend->answers[{"Two", 1}] = {{"127.0.0.1", kClosed}};
  backend->answers[{"Two", 2}] = {{"127.0.0.1", port}};
  backend->answers[{"Six", 1}] = {{"::ffff:127.0.0.1", port}, {"127.0.0.1", port}};
  backend->answers[{"Four", 1}] = {{"127.0.0.1", kClosed}, {"127.0.0.1", port}};
  const auto devices = Discovery(backend).browse(0ms).value();
  Strings listed, asked;
  for (const auto& d : devices) listed.push_back(d.name);
  for (const auto& c : backend->calls) asked.push_back(c.name);
  ASSERT_EQ(listed, (Strings{"A", "B", "Four", "Two", "f", e}));
  EXPECT_EQ(asked, (Strings{"A", "B", "Four", "Six", "Two", "f", "slow", e}));
  EXPECT_EQ(devices[0], (DiscoveredDevice{"A", "127.0.0.1", 9100, 8889, "Tablet", ""}));
  EXPECT_EQ(devices[1], (DiscoveredDevice{"B", "127.0.0.1", port, 7000, "", ""}));
  EXPECT_EQ(devices[2], (DiscoveredDevice{"Four", "127.0.0.1", port, 8889, "", ""}));
  for (const auto& c : backend->calls) EXPECT_LE(c.deadline - c.start, Discovery::kResolveTimeout) << c.name;
  EXPECT_GE(backend->calls.back().deadline - backend->calls[6].deadline, Discovery::kResolveTimeout);
}

// The first occurrence of a key counts, even one without a value; a value may hold "=" or NUL, not bad UTF-8.
TEST(TxtRecord, EdgesOfEntriesAndPorts) {
  const std::string nul("v=a\0b", 5);
  EXPECT_EQ(txtEntries({"v=", "device", "device=Later", "ws=A=B", nul, "http=ok\xE2\x82"}), (Strings{"ws=A=B", "v="}));
  for (const char* bad : {"abc", "", " 9100", "9100 ", "+", "+-1", "9223372036854775808"})
    EXPECT_EQ(parseDevice("d", "h", 9000, {std::string("ws=") + bad}).wsPort, 9000) << bad;
  EXPECT_EQ(parseDevice("d", "h", 0, {"http=+9101"}).httpPort, 9101);
}

}  // namespace
}  // namespace gt

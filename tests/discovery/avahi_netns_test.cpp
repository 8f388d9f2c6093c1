// The Avahi backend, `glowticker devices` and `glowticker pair --device` against real avahi-daemons.
// Each test builds its own pair of network namespaces (avahi_rig.sh): the phones live in "dev", the
// programs under test in "app", and mDNS and TCP only ever cross the veth between the two.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace gt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
  std::chrono::milliseconds took{0};
};

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool onPath(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

class AvahiNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
    for (const char* tool : {"ip", "dbus-daemon", "dbus-send", "avahi-daemon", "avahi-publish", "avahi-browse",
                             "python3", "timeout", "setsid"}) {
      if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed (see scripts/debian-packages.txt)";
    }
    // Distinct per process, so parallel runs never share namespaces or state.
    prefix_ = "gtd" + std::to_string(::getpid() % 100000);
    char tmpl[] = "/tmp/gt-discovery-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    CommandResult up = rig("up", 40);
    if (up.status != 0 && up.err.find("Operation not permitted") != std::string::npos) {
      GTEST_SKIP() << "network namespaces cannot be created here: " << up.err;
    }
    ASSERT_EQ(up.status, 0) << up.err;
    rigUp_ = true;
  }

  void TearDown() override {
    if (rigUp_) rig("down", 30);
    if (!dir_.empty()) {
      std::error_code ec;
      fs::remove_all(dir_, ec);
    }
  }

  // Runs a shell command line, bounded by `seconds`.
  CommandResult run(const std::string& command, int seconds) {
    CommandResult r;
    fs::path errFile = dir_ / "stderr.txt";
    std::string line = "GT_PREFIX=" + prefix_ + " GT_STATE=" + quote((dir_ / "rig").string()) + " timeout -k 2 " +
                       std::to_string(seconds) + " " + command + " 2>" + quote(errFile.string());
    auto start = Clock::now();
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe) return r;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0 && r.out.size() < (1u << 20);) {
      r.out.append(buf, n);
    }
    int status = ::pclose(pipe);
    r.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = slurp(errFile);
    return r;
  }

  CommandResult rig(const std::string& args, int seconds) { return run(quote(GT_AVAHI_RIG) + " " + args, seconds); }

  // Runs a program inside the app namespace, as the desktop would, with a private home directory.
  CommandResult inApp(const std::string& command, int seconds) {
    return rig("exec app env HOME=" + quote((dir_ / "home").string()) +
                   " TSAN_OPTIONS=suppressions=" + quote(GT_TSAN_SUPPRESSIONS) + " " + command,
               seconds);
  }

  // Starts a background process in the phone namespace; it ends by itself or when the rig goes down.
  void inDev(const std::string& command, const std::string& logName) {
    std::string line = "GT_PREFIX=" + prefix_ + " GT_STATE=" + quote((dir_ / "rig").string()) + " setsid " +
                       quote(GT_AVAHI_RIG) + " exec dev timeout 60 " + command + " >" +
                       quote((dir_ / logName).string()) + " 2>&1 </dev/null &";
    ASSERT_EQ(std::system(line.c_str()), 0);
  }

  // A simulated phone advertising itself; returns its port once it is serving.
  int phone(const std::string& name, const std::string& device, const std::string& code) {
    inDev("python3 " + quote(GT_SIM_PHONE) + " --bind 198.18.0.1 --advertise " + quote(name) + " --device " +
              quote(device) + " --code " + code + " --version 1.4.2",
          "phone-" + name + ".log");
    for (auto end = Clock::now() + 10s; Clock::now() < end; std::this_thread::sleep_for(50ms)) {
      std::string log = slurp(dir_ / ("phone-" + name + ".log"));
      if (auto at = log.find("READY port="); at != std::string::npos) return std::stoi(log.substr(at + 11));
    }
    ADD_FAILURE() << "simulated phone " << name << " did not start: " << slurp(dir_ / ("phone-" + name + ".log"));
    return 0;
  }

  // Waits until the app side's avahi-daemon has seen `count` instances, so the search itself is not racing
  // the phones' announcements.
  void awaitAdvertised(std::size_t count) {
    std::string last;
    for (int attempt = 0; attempt < 10; ++attempt) {
      CommandResult r = inApp("avahi-browse -t -p _glowticker._tcp", 10);
      std::size_t seen = 0;
      for (const auto& l : lines(r.out)) seen += l.rfind("+;", 0) == 0;
      if (seen >= count) return;
      last = r.out + r.err;
      std::this_thread::sleep_for(300ms);
    }
    FAIL() << "the app side never saw " << count << " advertised instances: " << last;
  }

  std::string prefix_;
  fs::path dir_;
  bool rigUp_ = false;
};

TEST_F(AvahiNetns, FindsPhonesInNameOrderAndLeavesOutThoseThatDoNotAccept) {
  // Kitchen publishes TXT keys in mixed case and a duplicate: the first occurrence wins.
  inDev("python3 -c " + quote(R"(
import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("198.18.0.1", 9000)); s.listen(8); s.settimeout(0.5)
end = time.monotonic() + 50
while time.monotonic() < end:
    try: s.accept()[0].close()
    except socket.timeout: pass
)"),
        "kitchen-server.log");
  inDev("avahi-publish -s Kitchen _glowticker._tcp 9000 WS=9100 ws=1 http=9101 v=2.0 'device=Wall panel' flag",
        "kitchen.log");
  const int desk = phone("desk", "Tablet 8", "1234");
  // Attic: nothing listens on its port, so the connection is refused at once.
  inDev("avahi-publish -s Attic _glowticker._tcp 9 device=Old", "attic.log");
  // Basement: a listener whose accept queue is full, so its SYNs are dropped and the connection hangs.
  inDev("python3 -c " + quote(R"(
import socket, time
s = socket.socket(); s.bind(("198.18.0.1", 9300)); s.listen(0)
fill = []
for _ in range(4):
    c = socket.socket(); c.setblocking(False); c.connect_ex(("198.18.0.1", 9300)); fill.append(c)
time.sleep(50)
)"),
        "basement-server.log");
  inDev("avahi-publish -s Basement _glowticker._tcp 9300 device=Hole", "basement.log");
  ASSERT_NE(desk, 0);
  awaitAdvertised(4);

  CommandResult r = inApp(quote(GT_DISCOVERY_PROBE) + " 3000", 30);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> expected = {
      "DEVICE Kitchen|198.18.0.1|9100|9101|Wall panel|2.0",
      "DEVICE desk|198.18.0.1|" + std::to_string(desk) + "|" + std::to_string(desk) + "|Tablet 8|1.4.2",
  };
  std::vector<std::string> got = lines(r.out);
  ASSERT_EQ(got.size(), 3u) << r.out;
  EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 2), expected);
  // The window, then a refused connection (at once) and a hanging one (its full second), then two more;
  // never more than the window and one second per instance.
  long elapsed = std::stol(got[2].substr(std::string("ELAPSED ").size()));
  EXPECT_GE(elapsed, 4000) << r.out;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  // Sanitized Avahi client set-up and tear-down run several times slower, beside other tests.
  EXPECT_LT(elapsed, 15000) << r.out;
#else
  EXPECT_LT(elapsed, 7500) << r.out;
#endif
}

TEST_F(AvahiNetns, DevicesCommandListsPhonesAndPairsByName) {
  const int kitchen = phone("Kitchen", "Wall panel", "1111");
  const int desk = phone("desk", "Tablet 8", "4321");
  ASSERT_NE(kitchen, 0);
  ASSERT_NE(desk, 0);
  awaitAdvertised(2);

  CommandResult list = inApp(quote(GT_CLI) + " devices", 30);
  ASSERT_EQ(list.status, 0) << list.err;
  auto line = [](const std::string& name, const std::string& device, int port) {
    return name + " (" + device + ") @ 198.18.0.1  ws " + std::to_string(port) + "  http " + std::to_string(port) +
           "  version 1.4.2";
  };
  EXPECT_EQ(lines(list.out),
            (std::vector<std::string>{line("Kitchen", "Wall panel", kitchen), line("desk", "Tablet 8", desk)}));
  EXPECT_GE(list.took, 3s);

  CommandResult pair = inApp(quote(GT_CLI) + " pair --device desk --code 4321", 40);
  ASSERT_EQ(pair.status, 0) << pair.out << pair.err;
  std::string config = slurp(dir_ / "home" / ".glowticker" / "config.json");
  EXPECT_NE(config.find("\"device_name\": \"desk\""), std::string::npos) << config;
  EXPECT_NE(config.find("\"host\": \"198.18.0.1\""), std::string::npos) << config;
  EXPECT_NE(config.find("\"http_port\": " + std::to_string(desk)), std::string::npos) << config;

  CommandResult missing = inApp(quote(GT_CLI) + " pair --device Attic --code 4321", 40);
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("No phone named \"Attic\""), std::string::npos) << missing.err;
}

TEST_F(AvahiNetns, WithoutDaemonTheSearchIsEmptyAfterTheWindowAndSaysWhy) {
  phone("Kitchen", "Wall panel", "1111");
  ASSERT_EQ(rig("stop-avahi app", 10).status, 0);

  CommandResult probe = inApp(quote(GT_DISCOVERY_PROBE) + " 800", 20);
  ASSERT_EQ(probe.status, 0) << probe.err;
  std::vector<std::string> got = lines(probe.out);
  ASSERT_EQ(got.size(), 2u) << probe.out;
  EXPECT_EQ(got[0].rfind("PROBLEM avahi-daemon is not running", 0), 0u) << got[0];
  EXPECT_GE(std::stol(got[1].substr(std::string("ELAPSED ").size())), 800);

  CommandResult list = inApp(quote(GT_CLI) + " devices", 20);
  EXPECT_NE(list.status, 0);
  EXPECT_EQ(list.out, "");
  EXPECT_EQ(lines(list.err).size(), 1u) << list.err;
  EXPECT_NE(list.err.find("avahi-daemon is not running"), std::string::npos) << list.err;
  EXPECT_GE(list.took, 3s);
}

}  // namespace
}  // namespace gt

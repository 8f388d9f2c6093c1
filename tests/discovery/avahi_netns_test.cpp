// `glowticker devices` and `pair --device` against real avahi-daemons: phones in netns "dev", the CLI in "app".
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "cli/companion/shell_quote.h"
#include "support/process.h"
#include "support/stress_support.h"

namespace gt {
namespace {

using namespace std::chrono_literals;

class AvahiNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
    if (std::system("for t in ip dbus-daemon dbus-send avahi-daemon avahi-publish avahi-browse python3 timeout setsid; "
                    "do command -v $t >/dev/null || exit 1; done") != 0) {
      GTEST_SKIP() << "the rig's tools are not installed (see scripts/debian-packages.txt)";
    }
    ASSERT_TRUE(dir_.ok());
    // Distinct per process, so parallel runs never share namespaces or state.
    env_ = "GT_PREFIX=gtd" + std::to_string(::getpid() % 100000) + " GT_STATE=" + shellQuote(dir_.file("rig")) + " ";
    test::ProcessResult up = rig("up", 40);
    if (up.status != 0 && up.err.find("Operation not permitted") != std::string::npos) {
      GTEST_SKIP() << "network namespaces cannot be created here: " << up.err;
    }
    ASSERT_EQ(up.status, 0) << up.err;
    rigUp_ = true;
  }
  void TearDown() override {
    if (rigUp_) rig("down", 30);
  }

  // The rig with its variables, bounded by `seconds`.
  test::ProcessResult rig(const std::string& args, int seconds) {
    return test::runShell("env " + env_ + shellQuote(GT_AVAHI_RIG) + " " + args, dir_.path(), seconds);
  }

  // The CLI inside the app namespace, as the desktop would run it, with a private home directory.
  test::ProcessResult cli(const std::string& args, int seconds) {
    return rig("exec app env HOME=" + shellQuote(dir_.file("home")) + " TSAN_OPTIONS=suppressions=" +
                   shellQuote(GT_TSAN_SUPPRESSIONS) + " " + shellQuote(GT_CLI) + " " + args,
               seconds);
  }

  // A background process in the phone namespace; it ends by itself or when the rig goes down.
  void inDev(const std::string& command, const std::string& log) {
    ASSERT_EQ(std::system((env_ + "setsid " + shellQuote(GT_AVAHI_RIG) + " exec dev timeout 60 " + command + " >" +
                           shellQuote(dir_.file(log)) + " 2>&1 </dev/null &")
                              .c_str()),
              0);
  }

  // A simulated phone advertising itself; returns its port once it is serving.
  int phone(const std::string& name, const std::string& device, const std::string& code) {
    phones_.push_back(std::make_unique<test::Background>(std::vector<std::string>{
        "/bin/sh", "-c", "exec env " + env_ + shellQuote(GT_AVAHI_RIG) + " exec dev timeout 60 python3 " +
                             shellQuote(GT_SIM_PHONE) + " --bind 198.18.0.1 --advertise " + shellQuote(name) +
                             " --device " + shellQuote(device) + " --code " + code + " --version 1.4.2"}));
    const std::string& ready = phones_.back()->firstLine;
    EXPECT_EQ(ready.rfind("READY port=", 0), 0u) << "simulated phone " << name << " did not start";
    return ready.rfind("READY port=", 0) == 0 ? std::stoi(ready.substr(11)) : 0;
  }

  // Waits until the app side has seen `count` instances, so the search is not racing the announcements.
  void awaitAdvertised(std::size_t count) {
    std::string last;
    for (int attempt = 0; attempt < 10; ++attempt) {
      test::ProcessResult r = rig("exec app sh -c 'avahi-browse -t -p _glowticker._tcp | grep -c ^+\\;'", 10);
      if (std::atoi(r.out.c_str()) >= static_cast<int>(count)) return;
      last = r.out + r.err;
      std::this_thread::sleep_for(300ms);
    }
    FAIL() << "the app side never saw " << count << " advertised instances: " << last;
  }

  test::TempDir dir_;
  std::string env_;
  std::vector<std::unique_ptr<test::Background>> phones_;
  bool rigUp_ = false;
};

TEST_F(AvahiNetns, ListsPhonesInNameOrderLeavesOutThoseThatDoNotAcceptPairsByNameAndMissesTheDaemon) {
  const int desk = phone("desk", "Tablet 8", "4321");
  ASSERT_NE(desk, 0);
  const std::string port = std::to_string(desk);
  // Kitchen answers on desk's port with TXT keys in mixed case and a duplicate: the first occurrence wins.
  // Its name would clear the screen and reverse the text; it is listed inert.
  inDev("avahi-publish -s \"$(printf 'Kitchen\\033[2J\\342\\200\\256')\" _glowticker._tcp " + port + " WS=9100 ws=1 http=9101 v=2.0 'device=Wall panel' flag",
        "kitchen.log");
  // Attic: nothing listens on its port, so the connection is refused at once.
  inDev("avahi-publish -s Attic _glowticker._tcp 9 device=Old", "attic.log");
  // Basement: a full accept queue drops its SYNs, so the connection hangs.
  inDev("python3 -c " +
            shellQuote("import socket, time\na = ('198.18.0.1', 9300); s = socket.socket(); s.bind(a); s.listen(0)\n"
                       "f = [socket.socket() for _ in range(4)]\nfor c in f: c.setblocking(False); c.connect_ex(a)\n"
                       "time.sleep(50)"),
        "basement-server.log");
  inDev("avahi-publish -s Basement _glowticker._tcp 9300 device=Hole", "basement.log");
  awaitAdvertised(4);

  test::ProcessResult list = cli("devices", 30);
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "Kitchen\\x1b[2J\\u202e (Wall panel) @ 198.18.0.1  ws 9100  http 9101  version 2.0\n"
                      "desk (Tablet 8) @ 198.18.0.1  ws " + port + "  http " + port + "  version 1.4.2\n");
  // The 3 s window, a refused connection (at once) and a hanging one (its full second), then two more;
  // never more than the window and one second per instance.
  EXPECT_GE(list.took, 4000ms) << list.out;
  // Sanitized Avahi client set-up and tear-down run slower.
  EXPECT_LT(list.took, stress::kSanitized ? 15000ms : 7500ms) << list.out;

  test::ProcessResult pair = cli("pair --device desk --code 4321", 40);
  ASSERT_EQ(pair.status, 0) << pair.out << pair.err;
  std::string config = test::readAll(dir_.file("home/.glowticker/config.json"));
  for (const std::string& field : {std::string("\"device_name\": \"desk\""), std::string("\"host\": \"198.18.0.1\""),
                                   "\"http_port\": " + port})
    EXPECT_NE(config.find(field), std::string::npos) << config;

  test::ProcessResult missing = cli("pair --device Cellar --code 4321", 40);
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("No phone named \"Cellar\""), std::string::npos) << missing.err;

  // Without its daemon the search says why at once.
  ASSERT_EQ(rig("stop-avahi app", 10).status, 0);
  list = cli("devices", 20);
  EXPECT_EQ(list.status, 1);
  EXPECT_EQ(list.out, "");
  EXPECT_EQ(list.err,
            "glowticker devices: avahi-daemon is not running, so no phone can be found on the local network; start it "
            "with \"sudo systemctl start avahi-daemon\" and search again.\n");
  EXPECT_LT(list.took, 500ms);  // the client learns it at once; the browse window is not waited out
}

}  // namespace
}  // namespace gt

// `glowticker devices` and `pair --device` against real avahi-daemons: phones in netns "dev", the CLI in "app".
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "cli/companion/shell_quote.h"
#include "support/process.h"

namespace gt {
namespace {

using namespace std::chrono_literals;

class AvahiNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
    // Distinct per process, so parallel runs never share namespaces or state.
    env_ = "env GT_PREFIX=gtd" + std::to_string(::getpid() % 100000) + " GT_STATE=" + shellQuote(dir_.file("rig")) +
           " " + shellQuote(GT_AVAHI_RIG) + " ";
    test::ProcessResult up = rig("up", 40);
    if (up.status != 0 && up.err.find("Operation not permitted") != std::string::npos)
      GTEST_SKIP() << "network namespaces cannot be created here: " << up.err;
    ASSERT_EQ(up.status, 0) << up.err;
    rigUp_ = true;
  }
  void TearDown() override {
    if (rigUp_) rig("down", 30);
  }
  test::ProcessResult rig(const std::string& args, int seconds) {
    return test::runShell(env_ + args, dir_.path(), seconds);
  }
  // The CLI inside the app namespace, as the desktop would run it, with a private home directory.
  test::ProcessResult cli(const std::string& args) {
    return rig("exec app env HOME=" + shellQuote(dir_.file("home")) + " TSAN_OPTIONS=suppressions=" +
                   shellQuote(GT_TSAN_SUPPRESSIONS) + " " + shellQuote(GT_CLI) + " " + args,
               40);
  }
  // A process in the phone namespace; it ends by itself or when the rig goes down.
  void inDev(const std::string& command) {
    ASSERT_EQ(
        std::system(("setsid " + env_ + "exec dev timeout 60 " + command + " >/dev/null 2>&1 </dev/null &").c_str()),
        0);
  }

  test::TempDir dir_;
  std::string env_;
  bool rigUp_ = false;
};

TEST_F(AvahiNetns, ListsPhonesInNameOrderLeavesOutThoseThatDoNotAcceptPairsByNameAndMissesTheDaemon) {
  // The simulated phone, advertising itself; its port once it serves.
  test::Background desk({"/bin/sh", "-c",
                         "exec " + env_ + "exec dev timeout 60 python3 " + shellQuote(GT_SIM_PHONE) +
                             " --bind 198.18.0.1 --advertise desk --device 'Tablet 8' --code 4321 "
                             "--version 1.4.2"});
  ASSERT_EQ(desk.firstLine.rfind("READY port=", 0), 0u) << "the simulated phone did not start";
  const std::string port = std::to_string(std::stoi(desk.firstLine.substr(11)));
  // Kitchen answers on desk's port with TXT keys in mixed case and a duplicate: the first occurrence wins.
  // Its name would clear the screen and reverse the text; it is listed inert.
  inDev("avahi-publish -s \"$(printf 'Kitchen\\033[2J\\342\\200\\256')\" _glowticker._tcp " + port +
        " WS=9100 ws=1 http=9101 v=2.0 'device=Wall panel' flag");
  // Basement: a full accept queue drops its SYNs, so the connection hangs.
  inDev("python3 -c " + shellQuote("import socket, time\na = ('198.18.0.1', 9300); s = socket.socket(); s.bind(a); "
                                   "s.listen(0)\nf = [socket.socket() for _ in range(4)]\n"
                                   "for c in f: c.setblocking(False); c.connect_ex(a)\ntime.sleep(50)"));
  inDev("avahi-publish -s Basement _glowticker._tcp 9300 device=Hole");
  // Until the app side has seen all three, so the search is not racing the announcements.
  std::string seen;
  for (int attempt = 0; attempt < 10; ++attempt, std::this_thread::sleep_for(300ms)) {
    seen = rig("exec app sh -c 'avahi-browse -t -p _glowticker._tcp | grep -c ^+\\;'", 10).out;
    if (std::atoi(seen.c_str()) >= 3) break;
  }
  ASSERT_GE(std::atoi(seen.c_str()), 3) << "the app side never saw the three advertised instances";

  test::ProcessResult list = cli("devices");
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out,
            "Kitchen\\x1b[2J\\u202e (Wall panel) @ 198.18.0.1  ws 9100  http 9101  version 2.0\n"
            "desk (Tablet 8) @ 198.18.0.1  ws " +
                port + "  http " + port + "  version 1.4.2\n");
  // The 3 s window, then Basement's full second, however fast the rest.
  EXPECT_GE(list.took, 4000ms) << list.out;

  test::ProcessResult pair = cli("pair --device desk --code 4321");
  ASSERT_EQ(pair.status, 0) << pair.out << pair.err;
  EXPECT_TRUE(test::readAll(dir_.file("home/.glowticker/config.json"))
                  .starts_with("{\n  \"device_name\": \"desk\",\n  \"host\": \"198.18.0.1\",\n  \"ws_port\": " + port +
                               ",\n  \"http_port\": " + port + ",\n"));
  test::ProcessResult missing = cli("pair --device Cellar --code 4321");
  EXPECT_TRUE(missing.status == 1 && missing.err.find("No phone named \"Cellar\"") != std::string::npos) << missing.err;

  // Without its daemon the search says why (the unit test shows it does not wait out the window).
  ASSERT_EQ(rig("stop-avahi app", 10).status, 0);
  list = cli("devices");
  EXPECT_EQ(std::tuple(list.status, list.out, list.err),
            std::tuple(1, "",
                       "glowticker devices: avahi-daemon is not running, so no phone can be found on the local "
                       "network; start it with \"sudo systemctl start avahi-daemon\" and search again.\n"));
}

}  // namespace
}  // namespace gt

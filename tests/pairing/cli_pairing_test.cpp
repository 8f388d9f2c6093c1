// `glowticker status`, `pair` and `unpair` as programs against the simulated phone, with a temporary HOME,
// and every command's help.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "core/pairing/pairing_record.h"
#include "support/process.h"
#include "support/test_http_server.h"

namespace gt {
namespace {

namespace fs = std::filesystem;

// The simulated phone (it ends itself after 60 s); the port comes from its READY line.
struct Phone : test::Background {
  explicit Phone(const std::string& args)
      : Background({"/bin/sh", "-c", "exec python3 " GT_SIM_PHONE " --stop-after 60 " + args}) {
    std::smatch m;
    if (std::regex_search(firstLine, m, std::regex("^READY port=(\\d+) "))) port = m[1];
    EXPECT_FALSE(port.empty()) << "the simulated phone did not start: " << firstLine;
  }
  std::string port;
};

using Result = test::ProcessResult;

class CliPairingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("python3 -c '' 2>/dev/null") != 0) GTEST_SKIP() << "python3 is needed for the simulated phone";
    ASSERT_TRUE(dir_.ok());
  }
  // Arguments in shell syntax; stopped after 20 s. A group-writable umask must not loosen the store.
  Result glowticker(const std::string& args) {
    return test::runShell(
        "umask 002; env HOME='" + home_.string() + "' http_proxy= HTTP_PROXY= " + GT_GLOWTICKER_BIN + " " + args + " </dev/null",
        dir_.path(), 20);
  }
  Result pairWith(const std::string& host, const std::string& port, const std::string& code,
                  const std::string& name = "'Desk phone'") {
    return glowticker("pair --host '" + host + "' --http-port " + port + " --ws-port 7001 --name " + name + " --code " +
                      code);
  }
  // `status --json` as "<exit code> <state> <the record's http_port, or null>"; the token never shows.
  std::string statusJson() {
    Result r = glowticker("status --json");
    const auto j = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_EQ(r.out.find("token"), std::string::npos) << r.out;
    if (!j.is_object() || !j.contains("pairing")) return r.out;
    const auto& p = j.at("pairing");
    return std::to_string(r.status) + " " + j.value("state", "") + " " +
           (p.is_null() ? "null" : p.at("http_port").dump());
  }

  test::TempDir dir_;
  const fs::path home_ = dir_.path();
  const fs::path config_ = home_ / ".glowticker" / "config.json";
};

TEST_F(CliPairingTest, PairStatusUnpairRoundTrip) {
  for (const char* args : {
           "pair",
           "pair --host h --http-port 80 --ws-port 81 --name n",
           "pair --host h --http-port 80x --ws-port 81 --name n --code 1",
           "pair --host h --http-port 80 --ws-port 70000 --name n --code 1",
           "pair --bogus x",
           "unpair --all",
           "pair --http-port 80 --ws-port 81 --name n --code 1",
           "pair --device D --host h --code 1",
           "status extra",
           "status --bogus",
       }) {
    Result r = glowticker(args);
    EXPECT_TRUE(r.status == 2 && !r.err.empty()) << args;
  }
  EXPECT_FALSE(fs::exists(home_ / ".glowticker"));
  auto r = glowticker("status");
  EXPECT_EQ(r.status, 4);  // not paired
  EXPECT_EQ(r.out, "未配对\n");
  EXPECT_EQ(statusJson(), "4 unpaired null");

  // It takes one wrong code: the codes refused here must never reach it.
  Phone phone("--code 0042 --max-attempts 1 --device 'Phone model'");
  ASSERT_FALSE(phone.port.empty());
  for (const char* code : {"12", "12345", "abcd", "''", "４８２"})
    EXPECT_EQ(pairWith("127.0.0.1", phone.port, code).status, 2) << code;
  const std::string record = "127.0.0.1  ws=7001 http=" + phone.port + "\n";
  // A name that would retitle the terminal and reverse the text is stored as given and printed inert.
  const std::string name = "Desk\x1b]0;pwn\x07 phone\xe2\x80\xae";
  const std::string shown = "Desk\\x1b]0;pwn\\x07 phone\\u202e";
  // The code is filtered as the panel does.
  r = pairWith("127.0.0.1", phone.port, "' 00-4 2'", "\"$(printf 'Desk\\033]0;pwn\\007 phone\\342\\200\\256')\"");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Paired with " + shown), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("已连接 " + shown + "\n" + record), std::string::npos) << r.out;
  EXPECT_EQ(fs::status(config_).permissions(), fs::perms(0600));
  EXPECT_EQ(fs::status(home_ / ".glowticker").permissions(), fs::perms(0700));
  // Modes loosened by hand are tightened again by the next load.
  fs::permissions(config_, fs::perms(0644));
  fs::permissions(home_ / ".glowticker", fs::perms(0775));
  r = glowticker("status");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "已连接 " + shown + "\n" + record);
  EXPECT_EQ(statusJson(), "0 connected " + phone.port);
  EXPECT_EQ(fs::status(config_).permissions(), fs::perms(0600));
  EXPECT_EQ(fs::status(home_ / ".glowticker").permissions(), fs::perms(0700));
  EXPECT_EQ(decodeClockConfig(test::readAll(config_)).value_or(ClockConfig{}).deviceName, name);

  // The phone goes away: the record stays, the link is offline.
  EXPECT_EQ(phone.stop(), 0);
  r = glowticker("status");
  EXPECT_EQ(r.status, 3);  // offline
  EXPECT_EQ(r.out, "离线 / 不可达\n" + record);
  EXPECT_EQ(statusJson(), "3 offline " + phone.port);

  EXPECT_EQ(glowticker("unpair").status, 0);
  EXPECT_FALSE(fs::exists(config_));
  r = glowticker("unpair");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not paired"), std::string::npos) << r.err;
}

TEST_F(CliPairingTest, EveryCommandHasHelpAndHelpWinsOverTheRest) {
  for (std::string cmd : {"status", "devices", "pair", "unpair", "install", "uninstall", "hook", "send", "autostart"}) {
    for (const char* flag : {" --help", " -h"}) {
      Result r = glowticker(cmd + flag);
      EXPECT_TRUE(r.status == 0 && r.err.empty() && r.out.rfind("Usage: glowticker " + cmd, 0) == 0)
          << cmd << flag << ": " << r.out << r.err;
    }
  }
  Result r = glowticker("--help");
  EXPECT_TRUE(r.status == 0 && r.out.find("\nExit status:") != std::string::npos) << r.out;
  // Nothing is paired when help is asked for too.
  EXPECT_EQ(glowticker("pair --host 127.0.0.1 --http-port 9 --ws-port 9 --name x --code 1234 --help").status, 0);
  EXPECT_FALSE(fs::exists(home_ / ".glowticker"));
}

TEST_F(CliPairingTest, EachFailureShowsItsTextAndStoresNothing) {
  Phone wrong("--code 1234 --max-attempts 2 --lock-seconds 45"), failing("--pair-status 500 --pair-body internal"),
      tokenless("--pair-status 200 --pair-body '{\"device\":\"x\"}'"), garbage("--garbage"),
      slow("--delay 30 --code 1234");
  const std::vector<std::pair<Result, std::string>> cases = {
      {pairWith("127.0.0.1", wrong.port, "9999"), "配对码错误，请核对手机屏幕上显示的 4 位数字。\n"},
      {pairWith("127.0.0.1", wrong.port, "9999"), "配对已锁定，请 45 秒后重试。\n"},
      {pairWith("127.0.0.1", failing.port, "1234"), "配对失败（HTTP 500）。\n"},
      {pairWith("127.0.0.1", tokenless.port, "1234"), "配对失败（HTTP 200）。\n"},
      {pairWith("127.0.0.1", garbage.port, "1234"), "无法连接设备：non-HTTP response\n"},
      {pairWith("a b", "8080", "1234"), "无法连接设备：invalid device address a b:8080\n"},
  };
  for (const auto& [run, err] : cases) EXPECT_EQ(std::pair(run.status, run.err), std::pair(1, err));
  // Refused, and a phone that answers too late (given up within the 5 s bound): the reason is given.
  for (const std::string& port : {std::to_string(test::unusedLoopbackPort()), slow.port}) {
    Result r = pairWith("127.0.0.1", port, "1234");
    EXPECT_LT(r.took, std::chrono::seconds(8));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("无法连接设备：", 0), 0u) << r.err;
    EXPECT_GT(r.err.size(), std::string("无法连接设备：\n").size());
  }
  EXPECT_FALSE(fs::exists(config_));

  // The record cannot be saved: a file stands where the private directory belongs.
  Phone good("--code 1234");
  test::writeAll(home_ / ".glowticker", "in the way");
  Result r = pairWith("127.0.0.1", good.port, "1234");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("配对失败：", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(".glowticker"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace gt

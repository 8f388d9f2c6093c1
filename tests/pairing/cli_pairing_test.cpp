// `glowticker status`, `pair` and `unpair` run as programs against the simulated phone, each with a
// temporary HOME.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "child_process.h"
#include "test_http_server.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kPython = "/usr/bin/python3";

struct Phone {
  std::unique_ptr<test::BackgroundProcess> process;
  std::string port, code, token;
};

class CliPairingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kPython.c_str(), X_OK) != 0) GTEST_SKIP() << "python3 is needed for the simulated phone";
    char tmpl[] = "/tmp/gt-pairing-cli-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    home_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    if (!home_.empty()) fs::remove_all(home_, ec);
  }

  // Starts the phone and waits (at most 10 s) for its READY line.
  Phone startPhone(std::vector<std::string> extra) {
    std::vector<std::string> argv = {kPython, GT_SIM_PHONE, "--stop-after", "60"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Phone phone;
    phone.process = std::make_unique<test::BackgroundProcess>(argv);
    EXPECT_TRUE(phone.process->started());
    auto line = phone.process->readLine(10s);
    EXPECT_TRUE(line) << "the simulated phone did not start";
    std::smatch m;
    static const std::regex ready(R"(READY port=(\d+) code=(\d{4}) token=(\S+))");
    if (line && std::regex_match(*line, m, ready)) {
      phone.port = m[1];
      phone.code = m[2];
      phone.token = m[3];
    } else {
      ADD_FAILURE() << "unexpected first line: " << line.value_or("");
    }
    return phone;
  }

  test::RunResult glowticker(std::vector<std::string> args) {
    args.insert(args.begin(), GT_GLOWTICKER_BIN);
    return test::runProgram(args, {"HOME=" + home_.string(), "http_proxy=", "HTTP_PROXY="}, 20s);
  }

  test::RunResult pairWith(const std::string& host, const std::string& port, const std::string& code,
                           const std::string& name = "Desk phone") {
    return glowticker(
        {"pair", "--host", host, "--http-port", port, "--ws-port", "7001", "--name", name, "--code", code});
  }

  fs::path configPath() const { return home_ / ".glowticker" / "config.json"; }

  fs::path home_;
};

TEST_F(CliPairingTest, PairStatusUnpairRoundTrip) {
  auto status = glowticker({"status"});
  EXPECT_EQ(status.exitCode, 0);
  EXPECT_EQ(status.out, "未配对\n");

  Phone phone = startPhone({"--code", "0042", "--device", "Phone model"});
  ASSERT_FALSE(phone.port.empty());
  auto pair = pairWith("127.0.0.1", phone.port, "0042", "Desk phone");
  EXPECT_EQ(pair.exitCode, 0) << pair.err;
  EXPECT_NE(pair.out.find("已连接 Desk phone\n127.0.0.1  ws=7001 http=" + phone.port + "\n"), std::string::npos)
      << pair.out;
  ASSERT_TRUE(fs::exists(configPath()));
  EXPECT_EQ(fs::status(configPath()).permissions(), fs::perms(0600));
  EXPECT_EQ(fs::status(home_ / ".glowticker").permissions(), fs::perms(0700));

  status = glowticker({"status"});
  EXPECT_EQ(status.exitCode, 0);
  EXPECT_EQ(status.out, "已连接 Desk phone\n127.0.0.1  ws=7001 http=" + phone.port + "\n");

  // The phone goes away: the record stays, the link is offline.
  EXPECT_EQ(phone.process->stop(5s), 0);
  status = glowticker({"status"});
  EXPECT_EQ(status.exitCode, 0);
  EXPECT_EQ(status.out, "离线 / 不可达\n127.0.0.1  ws=7001 http=" + phone.port + "\n");

  auto unpair = glowticker({"unpair"});
  EXPECT_EQ(unpair.exitCode, 0) << unpair.err;
  EXPECT_FALSE(fs::exists(configPath()));
  EXPECT_EQ(glowticker({"status"}).out, "未配对\n");

  unpair = glowticker({"unpair"});
  EXPECT_NE(unpair.exitCode, 0);
  EXPECT_NE(unpair.err.find("not paired"), std::string::npos) << unpair.err;
}

TEST_F(CliPairingTest, PairsOverIpv6Loopback) {
  test::TestHttpServer probe(true, [](const test::HttpRequest&) { return test::HttpReply::status(200, ""); });
  if (!probe.ok()) GTEST_SKIP() << "::1 cannot be bound here (IPv6 disabled)";
  Phone phone = startPhone({"--bind", "::1", "--code", "1234"});
  ASSERT_FALSE(phone.port.empty());
  auto pair = pairWith("::1", phone.port, "1234");
  EXPECT_EQ(pair.exitCode, 0) << pair.err;
  EXPECT_EQ(glowticker({"status"}).out, "已连接 Desk phone\n::1  ws=7001 http=" + phone.port + "\n");
}

TEST_F(CliPairingTest, EachFailureShowsItsTextAndStoresNothing) {
  Phone wrong = startPhone({"--code", "1234", "--max-attempts", "2", "--lock-seconds", "45"});
  ASSERT_FALSE(wrong.port.empty());
  auto r = pairWith("127.0.0.1", wrong.port, "9999");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "配对码错误，请核对手机屏幕上显示的 4 位数字。\n");
  r = pairWith("127.0.0.1", wrong.port, "9999");
  EXPECT_EQ(r.err, "配对已锁定，请 45 秒后重试。\n");
  EXPECT_EQ(r.exitCode, 1);

  Phone failing = startPhone({"--pair-status", "500", "--pair-body", "internal"});
  r = pairWith("127.0.0.1", failing.port, "1234");
  EXPECT_EQ(r.err, "配对失败（HTTP 500）。\n");
  EXPECT_EQ(r.exitCode, 1);

  Phone tokenless = startPhone({"--pair-status", "200", "--pair-body", "{\"device\":\"x\"}"});
  r = pairWith("127.0.0.1", tokenless.port, "1234");
  EXPECT_EQ(r.err, "配对失败（HTTP 200）。\n");

  Phone garbage = startPhone({"--garbage"});
  r = pairWith("127.0.0.1", garbage.port, "1234");
  EXPECT_EQ(r.err, "无法连接设备：non-HTTP response\n");

  r = pairWith("a b", "8080", "1234");
  EXPECT_EQ(r.err, "无法连接设备：invalid device address a b:8080\n");

  r = pairWith("127.0.0.1", std::to_string(test::unusedLoopbackPort()), "1234");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.rfind("无法连接设备：", 0), 0u) << r.err;
  EXPECT_GT(r.err.size(), std::string("无法连接设备：\n").size()) << "the reason is given";

  EXPECT_FALSE(fs::exists(configPath()));

  // The record cannot be saved: a file stands where the private directory belongs.
  Phone good = startPhone({"--code", "1234"});
  std::ofstream(home_ / ".glowticker") << "in the way";
  r = pairWith("127.0.0.1", good.port, "1234");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.rfind("配对失败：", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(".glowticker"), std::string::npos) << r.err;
}

TEST_F(CliPairingTest, SlowPhoneIsGivenUpWithinTheBound) {
  Phone slow = startPhone({"--delay", "30", "--code", "1234"});
  ASSERT_FALSE(slow.port.empty());
  auto t0 = std::chrono::steady_clock::now();
  auto r = pairWith("127.0.0.1", slow.port, "1234");
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.rfind("无法连接设备：", 0), 0u) << r.err;
  EXPECT_LT(seconds, 8.0);
}

TEST_F(CliPairingTest, UsageErrorsExitWithTwo) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"pair"},
           {"pair", "--host", "h", "--http-port", "80", "--ws-port", "81", "--name", "n"},
           {"pair", "--host", "h", "--http-port", "http", "--ws-port", "81", "--name", "n", "--code", "1"},
           {"pair", "--host", "h", "--http-port", "80", "--ws-port", "70000", "--name", "n", "--code", "1"},
           {"pair", "--http-port", "80", "--ws-port", "81", "--name", "n", "--code", "1"},
           {"pair", "--device", "D", "--host", "h", "--code", "1"},
           {"pair", "--bogus", "x"},
           {"status", "extra"},
           {"unpair", "--all"},
       }) {
    auto r = glowticker(args);
    EXPECT_EQ(r.exitCode, 2) << args[1] << " " << (args.size() > 2 ? args[2] : "");
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_FALSE(fs::exists(home_ / ".glowticker"));
}

}  // namespace
}  // namespace gt

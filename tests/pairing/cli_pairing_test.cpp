// `glowticker status`, `pair` and `unpair` against the simulated phone and hostile ones, with a temporary HOME and
// proxy variables naming a closed port (the phone is always asked directly).
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "core/pairing/pairing_record.h"
#include "support/process.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using Result = test::ProcessResult;
const std::string kSim = GT_SIM_PHONE " --stop-after 60 ";

// A phone program (it ends by itself within a minute): the port from its READY line, then a line per request.
struct Phone : test::Background {
  explicit Phone(const std::string& command) : Background({"/bin/sh", "-c", "exec python3 " + command}) {
    std::smatch m;
    if (std::regex_search(firstLine, m, std::regex("^READY port=(\\d+)"))) port = m[1];
  }
  std::string log() {
    std::string lines;
    char c;
    for (pollfd p{out, POLLIN, 0}; ::poll(&p, 1, 0) == 1 && ::read(out, &c, 1) == 1;) lines += c;
    return lines;
  }
  std::string port;
};

class CliPairingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("python3 -c '' 2>/dev/null") != 0) GTEST_SKIP() << "python3 is needed for the simulated phone";
  }
  // Arguments in shell syntax; stopped after 20 s. A group-writable umask must not loosen the store.
  Result glowticker(const std::string& args) {
    const std::string proxy = "http://127.0.0.1:1";
    return test::runShell("umask 002; env HOME='" + home_.string() + "' http_proxy=" + proxy + " all_proxy=" + proxy +
                              " ALL_PROXY=" + proxy + " no_proxy= NO_PROXY= " GT_GLOWTICKER_BIN " " + args +
                              " </dev/null",
                          dir_.path(), 20);
  }
  Result pairWith(const std::string& port, const std::string& code, const std::string& name = "'Desk phone'") {
    return glowticker("pair --host 127.0.0.1 --http-port " + port + " --ws-port 7001 --name " + name + " --code " + code);
  }
  // `status` and `status --json` as "<exit code> <text><state> <the record's http_port, or null>"; no token shows.
  std::string status() {
    Result text = glowticker("status"), json = glowticker("status --json");
    const auto j = nlohmann::json::parse(json.out, nullptr, false);
    EXPECT_TRUE(json.status == text.status && json.out.find("token") == std::string::npos) << json.out;
    if (!j.is_object() || !j.contains("pairing")) return json.out;
    const auto& p = j.at("pairing");
    return std::to_string(text.status) + " " + text.out + j.value("state", "") + " " +
           (p.is_null() ? "null" : p.at("http_port").dump());
  }
  bool privateModes() {
    return fs::status(config_).permissions() == fs::perms(0600) &&
           fs::status(config_.parent_path()).permissions() == fs::perms(0700);
  }

  test::TempDir dir_;
  const fs::path home_ = dir_.path(), config_ = home_ / ".glowticker" / "config.json";
};

TEST_F(CliPairingTest, HelpUsagePairStatusUnpair) {
  for (const char* args : {"pair", "pair --host h --http-port 80 --ws-port 81 --name n",
                           "pair --host h --http-port 80 --ws-port 70000 --name n --code 1", "status extra",
                           "pair --host"}) {  // the last option without its value
    Result r = glowticker(args);
    EXPECT_TRUE(r.status == 2 && !r.err.empty()) << args;
  }
  EXPECT_FALSE(fs::exists(home_ / ".glowticker")) << "nothing is stored on a usage error";
  EXPECT_EQ(status(), "4 未配对\nunpaired null");

  // It takes one wrong code: the codes refused here must never reach it. Its token needs escaping in the probe.
  Phone phone(kSim + "--code 0042 --max-attempts 1 --device 'Phone model' --token 'a b&c=d/é+'");
  ASSERT_FALSE(phone.port.empty()) << phone.firstLine;
  for (const char* code : {"12", "12345", "abcd", "''", "４８２"})
    EXPECT_EQ(pairWith(phone.port, code).status, 2) << code;
  const std::string record = "127.0.0.1  ws=7001 http=" + phone.port + "\n";
  // A name that would retitle the terminal and reverse the text is stored as given and printed inert.
  const std::string name = "Desk\x1b]0;pwn\x07 phone\xe2\x80\xae";
  const std::string shown = "Desk\\x1b]0;pwn\\x07 phone\\u202e";
  // The code is filtered as the panel does, and sent as the string it is, with this computer's name.
  Result r = pairWith(phone.port, "' 00-4 2'", "\"$(printf 'Desk\\033]0;pwn\\007 phone\\342\\200\\256')\"");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Paired with " + shown + "; saved to " + config_.string() + ".\n已连接 " + shown + "\n" + record);
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  EXPECT_NE(phone.log().find("PAIR ok client=\"" + std::string(host) + "\" code=\"0042\""), std::string::npos);
  EXPECT_TRUE(privateModes());
  // Modes loosened by hand are tightened again by the next load.
  fs::permissions(config_, fs::perms(0644));
  fs::permissions(home_ / ".glowticker", fs::perms(0775));
  EXPECT_EQ(status(), "0 已连接 " + shown + "\n" + record + "connected " + phone.port);
  EXPECT_TRUE(privateModes());
  EXPECT_EQ(decodeClockConfig(test::readAll(config_)).value_or(ClockConfig{}).deviceName, name);

  // The phone at that address answers but no longer knows the token: the record stays, the link is offline.
  EXPECT_EQ(phone.stop(), 0);
  Phone forgetful(kSim + "--port " + phone.port);
  EXPECT_EQ(status(), "3 离线 / 不可达\n" + record + "offline " + phone.port);
  EXPECT_EQ(glowticker("unpair").status, 0);
  EXPECT_FALSE(fs::exists(config_));
  EXPECT_EQ(glowticker("unpair").status, 1);
}

TEST_F(CliPairingTest, EachFailureShowsItsTextAndStoresNothing) {
  auto hostile = [&](const std::string& name, const std::string& reply, const std::string& flags = "") {
    test::writeAll(dir_.path() / name, reply);
    return GT_HOSTILE_PHONE " " + dir_.file(name) + flags;
  };
  const std::string bound(65536, 'y');
  Phone wrong(kSim + "--code 1234 --max-attempts 2 --lock-seconds 45"), garbage(kSim + "--garbage"),
      slow(kSim + "--delay 30 --code 1234"),
      atBound(hostile("at", "HTTP/1.1 500 X\r\nContent-Length: 65536\r\n\r\n" + bound)),
      past(hostile("past", "HTTP/1.1 500 X\r\n\r\n" + bound + "y")),
      lie(hostile("lie", "HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n", " --hold")),
      cut(hostile("cut", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"token\":\"t0"));
  const std::pair<Result, std::string> cases[] = {
      {pairWith(wrong.port, "9999"), "配对码错误，请核对手机屏幕上显示的 4 位数字。\n"},
      {pairWith(wrong.port, "9999"), "配对已锁定，请 45 秒后重试。\n"},
      {pairWith(atBound.port, "1234"), "配对失败（HTTP 500）。\n"},  // a body at the bound is read whole
      {pairWith(garbage.port, "1234"), "无法连接设备：non-HTTP response\n"},
      // The reason is libcurl's own line. A phone that answers too late is given up at the client's own bound.
      {pairWith("1", "1234"), "无法连接设备：Failed to connect to 127.0.0.1 port 1 "},
      {pairWith(slow.port, "1234"), " timed out after "},
      {pairWith(past.port, "1234"), "无法连接设备：the device sent a response larger than 65536 bytes\n"},
      {pairWith(lie.port, "1234"), "larger than 65536 bytes"},
      {pairWith(cut.port, "1234"), "无法连接设备：transfer closed with "}};
  for (const auto& [run, err] : cases) {
    EXPECT_EQ(run.status, 1) << err;
    EXPECT_NE(run.err.find(err), std::string::npos) << run.err;
  }
  EXPECT_NE(cut.log().find(" | Content-Type: application/json; charset=utf-8"), std::string::npos);
  EXPECT_FALSE(fs::exists(config_));
}

}  // namespace
}  // namespace gt

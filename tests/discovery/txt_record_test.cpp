#include <gtest/gtest.h>

#include "core/discovery/discovered_device.h"

namespace gt {
namespace {

using Strings = std::vector<std::string>;

TEST(TxtEntries, Table) {
  const std::string cjk = "device=\xE5\xAE\xA2\xE5\x8E\x85", nul("v=a\0b", 5);
  const std::vector<std::pair<Strings, Strings>> rows = {
      {{"colour=blue", "DEVICE=Tablet 8", "V=1.4.2", "Http=9101", "wS=9100"},
       {"ws=9100", "http=9101", "v=1.4.2", "device=Tablet 8"}},
      {{}, {}},
      {{"v=", "device"}, {"v="}},        // empty value kept, key alone skipped
      {{"device=A=B"}, {"device=A=B"}},  // a value may contain "="
      {{"ws=1", "WS=2"}, {"ws=1"}},      // first occurrence decides...
      {{"device", "device=Later"}, {}},  // ...even when it is unusable
      {{cjk}, {cjk}},
      {{nul}, {nul}},
      {{"device=ok\xE2\x82", "v=2"}, {"v=2"}},  // not UTF-8
  };
  for (const auto& [raw, expected] : rows) EXPECT_EQ(txtEntries(raw), expected) << testing::PrintToString(raw);
}

TEST(ParseDevice, DefaultsAndWorkedExample) {
  EXPECT_EQ(parseDevice("Desk phone", "192.168.1.42", 0, {}),
            (DiscoveredDevice{"Desk phone", "192.168.1.42", 8888, 8889, "", ""}));
  EXPECT_EQ(parseDevice("d", "h", 9000, {}).wsPort, 9000);
  EXPECT_EQ(parseDevice("d", "h", -5, {}).wsPort, -5);
  Strings txt = txtEntries({"ws=9100", "http=9101", "v=1.4.2", "device=Tablet 8", "colour=blue"});
  EXPECT_EQ(parseDevice("Desk phone", "192.168.1.42", 9000, txt),
            (DiscoveredDevice{"Desk phone", "192.168.1.42", 9100, 9101, "Tablet 8", "1.4.2"}));
}

TEST(ParseDevice, PortValuesMustBePlainDecimal) {
  for (const char* bad : {"abc", "", " 9100", "9100 ", "+", "+-1", "9223372036854775808"}) {
    EXPECT_EQ(parseDevice("d", "h", 9000, {std::string("ws=") + bad}).wsPort, 9000) << "ws=" << bad;
    EXPECT_EQ(parseDevice("d", "h", 0, {std::string("http=") + bad}).httpPort, 8889) << "http=" << bad;
  }
  const std::vector<std::pair<std::string, std::int64_t>> good = {
      {"+9101", 9101}, {"-1", -1}, {"0070000", 70000}, {"-9223372036854775808", INT64_MIN}};
  for (const auto& [text, port] : good) {
    EXPECT_EQ(parseDevice("d", "h", 0, {"http=" + text}).httpPort, port) << text;
    EXPECT_EQ(parseDevice("d", "h", 1, {"ws=" + text}).wsPort, port) << text;
  }
}

TEST(ParseDevice, StringsAreMatchedExactlyAndLaterOnesWin) {
  DiscoveredDevice d = parseDevice("d", "h", 9000, {"WS=9100", "v", "device=A=B", "v=1", "v=", "ws=1", "ws=x"});
  EXPECT_EQ(d.wsPort, 1);
  EXPECT_EQ(d.device, "A=B");
  EXPECT_EQ(d.version, "");
}

}  // namespace
}  // namespace gt

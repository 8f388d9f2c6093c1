#include <gtest/gtest.h>

#include "core/discovery/discovered_device.h"

namespace gt {
namespace {

using Strings = std::vector<std::string>;

// Key case, duplicates and order are shown against a real daemon by the namespace test; these are the edges.
TEST(TxtRecord, EdgesOfEntriesAndPorts) {
  const std::string nul("v=a\0b", 5);
  EXPECT_EQ(txtEntries({"v=", "device", "device=Later", "ws=A=B", nul, "http=ok\xE2\x82"}), (Strings{"ws=A=B", "v="}));
  EXPECT_EQ(txtEntries({"device=\xE5\xAE\xA2", nul}), (Strings{nul, "device=\xE5\xAE\xA2"}));
  EXPECT_EQ(parseDevice("Desk", "192.168.1.42", 0, {}), (DiscoveredDevice{"Desk", "192.168.1.42", 8888, 8889, "", ""}));
  EXPECT_EQ(parseDevice("d", "h", -5, {}).wsPort, -5);
  for (const char* bad : {"abc", "", " 9100", "9100 ", "+", "+-1", "9223372036854775808"}) {
    EXPECT_EQ(parseDevice("d", "h", 9000, {std::string("ws=") + bad}).wsPort, 9000) << bad;
    EXPECT_EQ(parseDevice("d", "h", 0, {std::string("http=") + bad}).httpPort, 8889) << bad;
  }
  for (const auto& [text, port] : std::vector<std::pair<std::string, std::int64_t>>{
           {"+9101", 9101}, {"-1", -1}, {"0070000", 70000}, {"-9223372036854775808", INT64_MIN}}) {
    EXPECT_EQ(parseDevice("d", "h", 0, {"http=" + text}).httpPort, port) << text;
    EXPECT_EQ(parseDevice("d", "h", 1, {"ws=" + text}).wsPort, port) << text;
  }
  // Fed the raw strings, exact keys only and the later one wins.
  DiscoveredDevice d = parseDevice("d", "h", 9000, {"WS=9100", "v", "device=A=B", "v=1", "v=", "ws=1", "ws=x"});
  EXPECT_EQ(std::tuple(d.wsPort, d.device, d.version), std::tuple(1, "A=B", ""));
}

}  // namespace
}  // namespace gt

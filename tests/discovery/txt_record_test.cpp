#include <gtest/gtest.h>

#include "core/discovery/discovered_device.h"

namespace gt {
namespace {

using Strings = std::vector<std::string>;

TEST(TxtEntries, KeepsKnownKeysInFixedOrderSpelledInLowerCase) {
  Strings raw = {"colour=blue", "DEVICE=Tablet 8", "V=1.4.2", "Http=9101", "wS=9100"};
  EXPECT_EQ(txtEntries(raw), (Strings{"ws=9100", "http=9101", "v=1.4.2", "device=Tablet 8"}));
  EXPECT_TRUE(txtEntries({}).empty());
  EXPECT_TRUE(txtEntries({"colour=blue", "x"}).empty());
}

TEST(TxtEntries, EmptyValueIsKeptButKeyAloneIsSkipped) {
  EXPECT_EQ(txtEntries({"v=", "device"}), (Strings{"v="}));
  // A value may itself contain "=".
  EXPECT_EQ(txtEntries({"device=A=B"}), (Strings{"device=A=B"}));
}

TEST(TxtEntries, FirstOccurrenceOfAKeyDecides) {
  EXPECT_EQ(txtEntries({"ws=1", "WS=2"}), (Strings{"ws=1"}));
  // A first occurrence without "=" hides a later usable one.
  EXPECT_EQ(txtEntries({"device", "device=Later"}), Strings{});
}

TEST(TxtEntries, BinaryValuesAreKeptOnlyWhenValidUtf8) {
  EXPECT_EQ(txtEntries({"device=\xE5\xAE\xA2\xE5\x8E\x85"}), (Strings{"device=\xE5\xAE\xA2\xE5\x8E\x85"}));
  EXPECT_EQ(txtEntries({std::string("v=a\0b", 5)}), (Strings{std::string("v=a\0b", 5)}));
  const Strings invalid = {
      "device=\xFF\xFE",         // never valid
      "device=\xC0\xAF",         // overlong "/"
      "device=\xED\xA0\x80",     // a surrogate
      "device=ok\xE2\x82",       // cut off mid-character
      "device=\xF4\x90\x80\x80"  // beyond U+10FFFF
  };
  for (const std::string& entry : invalid) {
    EXPECT_EQ(txtEntries({entry, "v=2"}), (Strings{"v=2"})) << "for " << testing::PrintToString(entry);
  }
}

TEST(ParseDevice, DefaultsWhenTxtIsMissing) {
  DiscoveredDevice none = parseDevice("Desk phone", "192.168.1.42", 0, {});
  EXPECT_EQ(none, (DiscoveredDevice{"Desk phone", "192.168.1.42", 8888, 8889, "", ""}));
  EXPECT_EQ(parseDevice("d", "h", 9000, {}).wsPort, 9000);
  EXPECT_EQ(parseDevice("d", "h", -5, {}).wsPort, -5);
}

TEST(ParseDevice, WorkedExample) {
  Strings txt = txtEntries({"ws=9100", "http=9101", "v=1.4.2", "device=Tablet 8", "colour=blue"});
  DiscoveredDevice d = parseDevice("Desk phone", "192.168.1.42", 9000, txt);
  EXPECT_EQ(d, (DiscoveredDevice{"Desk phone", "192.168.1.42", 9100, 9101, "Tablet 8", "1.4.2"}));
  EXPECT_EQ(d.id(), "Desk phone");
}

TEST(ParseDevice, PortValuesMustBePlainDecimal) {
  for (const char* bad : {"abc", "", " 9100", "9100 ", "+", "-", "+-1", "0x10", "91.0", "１２", "9223372036854775808",
                          "-9223372036854775809"}) {
    EXPECT_EQ(parseDevice("d", "h", 9000, {std::string("ws=") + bad}).wsPort, 9000) << "ws=" << bad;
    EXPECT_EQ(parseDevice("d", "h", 0, {std::string("http=") + bad}).httpPort, 8889) << "http=" << bad;
  }
  EXPECT_EQ(parseDevice("d", "h", 0, {"http=+9101"}).httpPort, 9101);
  EXPECT_EQ(parseDevice("d", "h", 0, {"http=-1"}).httpPort, -1);
  EXPECT_EQ(parseDevice("d", "h", 0, {"ws=0"}).wsPort, 0);
  EXPECT_EQ(parseDevice("d", "h", 0, {"ws=9223372036854775807"}).wsPort, INT64_MAX);
  EXPECT_EQ(parseDevice("d", "h", 0, {"ws=-9223372036854775808"}).wsPort, INT64_MIN);
  EXPECT_EQ(parseDevice("d", "h", 0, {"ws=0070000"}).wsPort, 70000);  // no range check
}

TEST(ParseDevice, StringsAreMatchedExactlyAndLaterOnesWin) {
  DiscoveredDevice d = parseDevice("d", "h", 9000, {"WS=9100", "v", "device=A=B", "v=1", "v=", "ws=1", "ws=x"});
  EXPECT_EQ(d.wsPort, 1);
  EXPECT_EQ(d.device, "A=B");
  EXPECT_EQ(d.version, "");
  // A key alone in the record never reaches parseDevice as a string, so device stays empty.
  EXPECT_EQ(parseDevice("d", "h", 0, txtEntries({"device"})).device, "");
}

TEST(DiscoveredDeviceValue, EqualityIsFieldwiseAndIdIsTheName) {
  DiscoveredDevice a{"Desk", "192.168.1.7", 1, 2, "", "1"};
  DiscoveredDevice b = a;
  b.version = "2";
  EXPECT_NE(a, b);
  EXPECT_EQ(a.id(), b.id());
  b.version = "1";
  EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace gt

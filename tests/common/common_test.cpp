// The shared helpers' classes of input, checked as properties.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include "core/common/file_io.h"
#include "core/common/instance_lock.h"
#include "core/common/paths.h"
#include "core/common/utf8.h"
#include "support/test_files.h"

namespace gt {
namespace {

// Every code point: the controls and direction overrides become their escape, everything else passes. Malformed
// bytes (stray continuation, overlong, surrogate, beyond U+10FFFF, truncated) are refused and shown one by one.
TEST(TerminalSafe, EscapesExactlyTheControlsDirectionOverridesAndMalformedBytes) {
  char text[16];
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::size_t n = 1;
    text[0] = 'a';
    U8_APPEND_UNSAFE(text, n, c);
    const std::string in = std::string(text, n) + "b";
    ASSERT_TRUE(isValidUtf8(in)) << std::hex << static_cast<unsigned>(c);
    const bool escaped =
        c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    std::snprintf(text, sizeof text, c < 0x80 ? "a\\x%02xb" : "a\\u%04xb", static_cast<unsigned>(c));
    ASSERT_EQ(terminalSafe(in), escaped ? std::string(text) : in) << std::hex << static_cast<unsigned>(c);
  }
  for (const std::string bad : {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x80", "\xFF"}) {
    EXPECT_FALSE(isValidUtf8("ok" + bad)) << bad;
    std::string shown;
    for (unsigned char b : bad) shown += (std::snprintf(text, sizeof text, "\\x%02x", b), text);
    EXPECT_EQ(terminalSafe("ok" + bad + "é"), "ok" + shown + "é");
  }
}

// The bound is inclusive; a FIFO is refused without blocking; the replacement gets its mode; the lock has one holder.
TEST(FileIo, BoundedReadAtomicReplaceAndTheInstanceLock) {
  test::TempDir dir;
  const auto file = dir.path() / "f";
  EXPECT_EQ(readFileBounded(file, 4).error().kind, ReadProblem::missing);
  ASSERT_TRUE(replaceFileAtomically(file, "abcd", {0640, {}}));
  auto r = readFileBounded(file, 4);
  EXPECT_TRUE(r && r->text == "abcd" && r->mode == 0640u);
  EXPECT_EQ(readFileBounded(file, 3).error().kind, ReadProblem::tooLarge);
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(readFileBounded(dir.path() / "fifo", 4).error().kind, ReadProblem::notRegular);
  auto lock = InstanceLock::take(dir.path() / "lock");
  ASSERT_TRUE(lock);
  EXPECT_EQ(InstanceLock::take(dir.path() / "lock").error().kind, OneCopyProblem::anotherRuns);
}

// A HOME that is no absolute path is not trusted with the socket and the pairing file: the account's is.
TEST(Paths, HomeIsAnAbsoluteHomeVariableOrTheAccountsHome) {
  test::Env env("HOME", "/x/y");
  EXPECT_EQ(eventSocketPath(), "/x/y/.glowticker/run/events.sock");
  env.set("HOME", "x/y");
  EXPECT_EQ(homeDir(), ::getpwuid(::getuid())->pw_dir);
}

}  // namespace
}  // namespace gt

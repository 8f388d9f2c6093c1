#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "core/common/file_io.h"
#include "core/common/instance_lock.h"
#include "core/common/paths.h"
#include "core/common/utf8.h"
#include "support/test_files.h"

namespace gt {
namespace {

std::string utf8(char32_t c) {
  char bytes[U8_MAX_LENGTH];
  std::size_t n = 0;
  U8_APPEND_UNSAFE(bytes, n, c);
  return std::string(bytes, n);
}

// Every code point: the controls and direction overrides become their escape, everything else passes.
TEST(TerminalSafe, EscapesExactlyTheControlsAndDirectionOverrides) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string in = "a" + utf8(c) + "b";
    ASSERT_TRUE(isValidUtf8(in)) << std::hex << static_cast<unsigned>(c);
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    const bool bidi = (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    char esc[16];
    std::snprintf(esc, sizeof esc, c < 0x80 ? "a\\x%02x" "b" : "a\\u%04x" "b", static_cast<unsigned>(c));
    ASSERT_EQ(terminalSafe(in), control || bidi ? std::string(esc) : in) << std::hex << static_cast<unsigned>(c);
  }
}

// Stray continuation, overlong, surrogate, beyond U+10FFFF, truncated: refused, and shown byte by byte.
TEST(TerminalSafe, MalformedBytesAreRefusedAndShownAsHex) {
  for (const std::string bad : {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x80", "\xFF"}) {
    EXPECT_FALSE(isValidUtf8("ok" + bad)) << bad;
    std::string shown;
    char esc[8];
    for (unsigned char b : bad) shown += (std::snprintf(esc, sizeof esc, "\\x%02x", b), esc);
    EXPECT_EQ(terminalSafe("ok" + bad + "é"), "ok" + shown + "é");
  }
  EXPECT_TRUE(isValidUtf8(""));
}

// The bound is inclusive; a FIFO is refused without blocking; the replacement gets the mode asked for.
TEST(FileIo, BoundedReadAndAtomicReplace) {
  test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const auto file = dir.path() / "f";
  EXPECT_EQ(readFileBounded(file, 4).error().kind, ReadProblem::missing);
  ASSERT_TRUE(replaceFileAtomically(file, "abcd", {0640, {}}));
  auto r = readFileBounded(file, 4);
  EXPECT_TRUE(r && r->text == "abcd" && r->mode == 0640u);
  EXPECT_EQ(readFileBounded(file, 3).error().kind, ReadProblem::tooLarge);
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(readFileBounded(dir.path() / "fifo", 4).error().kind, ReadProblem::notRegular);
  std::optional<InstanceLock> lock(std::in_place, dir.path() / "lock");  // one holder's until it goes
  EXPECT_EQ(InstanceLock(dir.path() / "lock").state(), InstanceLock::State::takenByAnother);
  lock.reset();
  EXPECT_EQ(InstanceLock(dir.path() / "lock").state(), InstanceLock::State::held);
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

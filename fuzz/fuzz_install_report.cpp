// The tool's report: what is written reads back as the same values; what is parsed from any text is writable.
#include <fuzzer/FuzzedDataProvider.h>


#include "core/hooks/install_report.h"
#include "fuzz_check.h"

static std::string noteOf(std::string_view text) { return gt::extractRestartNote(text).value_or(""); }

// Writable for certain (see writeReport); ends of fields beyond ASCII are left to the fixed-point check.
static bool oneLine(const std::string& s) { return s.find('\n') == std::string::npos; }
static bool fieldEnd(const std::string& s) {
  return oneLine(s) && (s.empty() || (s.back() != ' ' && s.back() != '\t' && static_cast<unsigned char>(s.back()) < 0x80));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The input as another program's output.
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<gt::InstallReport> parsed = gt::parseReports(text);
  std::string written = gt::writeReport(parsed, noteOf(text));
  assert(gt::parseReports(written) == parsed && noteOf(written) == noteOf(text));

  // The input as values for the writer.
  FuzzedDataProvider in(data, size);
  bool writable = true;
  auto take = [&](bool field) {
    std::string s = in.ConsumeRandomLengthString(32);
    writable = writable && (field ? fieldEnd(s) : oneLine(s));
    return s;
  };
  std::vector<gt::InstallReport> reports(in.ConsumeIntegralInRange(0, 3));
  for (gt::InstallReport& r : reports) {
    r.agent = take(false), r.path = take(false), r.action = take(true), r.backup = take(true);
    writable = writable && r.agent.find(": ") == std::string::npos;
    for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n) {
      r.notes.push_back(take(true));
      writable = writable && !r.notes.back().empty();
    }
  }
  std::string restart = take(false);
  std::string out = gt::writeReport(reports, restart);
  std::vector<gt::InstallReport> back = gt::parseReports(out);
  assert(gt::writeReport(back, noteOf(out)) == out);  // what was written is what reads back
  if (writable) assert(back == reports && noteOf(out) == restart);
  return 0;
}

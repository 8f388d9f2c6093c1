// The companion tool's report is another program's standard output.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/hooks/hook_installer.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto reports = gt::parseReports(text);
  std::size_t headers = 0;
  for (std::size_t at = 0; (at = text.find("===", at)) != std::string_view::npos; at += 3) ++headers;
  GT_FUZZ_CHECK(reports.size() <= headers);  // every section starts with a "=== … ===" header
  for (const auto& r : reports) {
    GT_FUZZ_CHECK(r.agent.size() <= size && r.path.size() <= size && r.action.size() <= size);
    for (const auto& n : r.notes) GT_FUZZ_CHECK(!n.empty() && n.size() <= size);
  }
  if (auto note = gt::extractRestartNote(text)) GT_FUZZ_CHECK(note->size() <= size);
  return 0;
}

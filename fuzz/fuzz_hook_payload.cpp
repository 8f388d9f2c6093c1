// The hook sender turns whatever payload an agent hands it into one event record.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/hook/hook_event_builder.h"
#include "core/events/agent_event.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  auto agent = gt::allAgents()[in.ConsumeIntegralInRange<std::size_t>(0, gt::allAgents().size() - 1)];
  auto ts = in.ConsumeIntegral<std::int64_t>();
  std::string cwd = in.ConsumeRandomLengthString(128);
  std::string payload = in.ConsumeRemainingBytesAsString();

  auto ev = gt::HookEventBuilder::build(agent, payload, ts, cwd);
  auto doc = nlohmann::json::parse(payload, nullptr, /*allow_exceptions=*/false);
  GT_FUZZ_CHECK(ev.has_value() == doc.is_object());
  if (!ev) return 0;
  GT_FUZZ_CHECK(ev->agent == gt::rawValue(agent) && ev->ts == ts);
  GT_FUZZ_CHECK(!ev->type.empty() && !ev->state.empty() && !ev->title.empty());
  GT_FUZZ_CHECK(ev->message.size() <= gt::HookEventBuilder::kMaxMessageBytes + 3 && ev->type.size() <= 64 + 3);  // + "…"
  GT_FUZZ_CHECK(ev->project.find('/') == std::string::npos || ev->project == "/");

  // The record goes over the socket as one line that the app decodes to the same record.
  std::string line = gt::encodeAgentEvent(*ev);
  auto back = gt::decodeAgentEvent(line);
  GT_FUZZ_CHECK(line.find('\n') == std::string::npos && back.has_value());
  // The library's own strict dump is the judge of what the app's decoder will accept.
  auto validUtf8 = [](const std::string& s) {
    try { return !nlohmann::json(s).dump().empty(); } catch (const nlohmann::json::exception&) { return false; }
  };
  bool textIsClean = validUtf8(ev->type) && validUtf8(ev->message) && validUtf8(ev->project);
  if (validUtf8(cwd)) GT_FUZZ_CHECK(textIsClean);  // a cut never splits a character
  if (textIsClean) GT_FUZZ_CHECK(*back == *ev);
  return 0;
}

// The event record decoder reads whatever a hook (or anything else that can reach the socket) wrote. Seeds:
// the records the hook made of the real agents' payloads (hook-*), refusals (reject-*), origins (origin-*).
#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/events/agent_event.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto ev = gt::decodeAgentEvent(text);
  if (!ev) {
    assert(!ev.error().detail.empty());
    return 0;
  }
  // Taken: a JSON object whose six texts are the record's.
  auto doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  assert(doc.is_object());
  const char* keys[] = {"type", "agent", "state", "title", "message", "project"};
  const std::string* fields[] = {&ev->type, &ev->agent, &ev->state, &ev->title, &ev->message, &ev->project};
  for (int i = 0; i < 6; ++i) assert(doc[keys[i]].is_string() && doc[keys[i]] == *fields[i]);
  // A decoded record re-encodes to one line that decodes to the same record.
  std::string line = gt::encodeAgentEvent(*ev);
  auto again = gt::decodeAgentEvent(line);
  assert(line.find('\n') == std::string::npos && again && *again == *ev);
  if (!ev->origin) return 0;
  // An origin is kept within its bounds, and each member it keeps is the document's.
  const gt::EventOrigin& o = *ev->origin;
  for (const std::string* t :
       {&o.session, &o.tmux, &o.tmuxPane, &o.windowId, &o.termProgram, &o.kittyWindowId, &o.weztermPane, &o.unknown})
    assert(t->size() <= gt::EventOrigin::kMaxText);
  assert(o.pids.size() <= gt::EventOrigin::kMaxPids &&
                std::all_of(o.pids.begin(), o.pids.end(), [](std::int64_t p) { return p > 0 && p <= 2147483647; }));
  const auto& given = doc["origin"];
  assert(given.is_object());
  const nlohmann::json written = nlohmann::json::parse(line);  // named: items() refers into it
  for (auto& [key, value] : written["origin"].items()) assert(given.contains(key) && given[key] == value);
  return 0;
}

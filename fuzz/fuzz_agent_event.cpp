// The event record decoder reads whatever a hook (or anything else that can reach the socket) wrote.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "core/events/agent_event.h"
#include "fuzz_check.h"

namespace {

// What a plain document parse says the record is; ts only when it is an integer token.
void checkAgainstDocument(std::string_view text, const gt::AgentEvent& ev) {
  auto doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  assert(doc.is_object());
  const char* keys[] = {"type", "agent", "state", "title", "message", "project"};
  const std::string* fields[] = {&ev.type, &ev.agent, &ev.state, &ev.title, &ev.message, &ev.project};
  for (int i = 0; i < 6; ++i) {
    auto it = doc.find(keys[i]);
    assert(it != doc.end() && it->is_string());
    assert(it->get_ref<const std::string&>() == *fields[i]);
  }
  // "origin": kept only when it is an object whose known members all have their type and bounds.
  std::optional<gt::EventOrigin> origin;
  if (auto o = doc.find("origin"); o != doc.end() && o->is_object()) {
    origin.emplace();
    const char* textKeys[] = {"session",         "tmux",        "tmux_pane", "windowid", "term_program",
                              "kitty_window_id", "wezterm_pane"};
    std::string* texts[] = {&origin->session,     &origin->tmux,          &origin->tmuxPane,   &origin->windowId,
                            &origin->termProgram, &origin->kittyWindowId, &origin->weztermPane};
    bool ok = true;
    for (int i = 0; i < 7; ++i)
      if (auto it = o->find(textKeys[i]); ok && it != o->end()) {
        ok = it->is_string() && it->get_ref<const std::string&>().size() <= 256;
        if (ok) *texts[i] = *it;
      }
    if (auto it = o->find("vscode"); ok && it != o->end()) {
      ok = it->is_boolean();
      if (ok) origin->vscode = it->get<bool>();
    }
    if (auto it = o->find("pids"); ok && it != o->end()) {
      ok = it->is_array() && it->size() <= 16;
      for (std::size_t k = 0; ok && k < it->size(); ++k) {
        const auto& p = (*it)[k];
        ok = (p.is_number_integer() || p.is_number_unsigned()) && !p.is_number_float() && p.get<std::int64_t>() > 0 &&
             p.get<std::int64_t>() <= 2147483647;
        if (ok) origin->pids.push_back(p.get<std::int64_t>());
      }
    }
    if (!ok) origin.reset();
  }
  assert(origin == ev.origin);
  auto ts = doc.find("ts");
  assert(ts != doc.end() && ts->is_number());
  if (ts->is_number_integer()) assert(ts->get<std::int64_t>() == ev.ts);  // an unsigned token as its bits
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto ev = gt::decodeAgentEvent(text, &error);
  if (!ev) {
    assert(!error.empty());
    return 0;
  }
  checkAgainstDocument(text, *ev);
  // A decoded record re-encodes to a line that decodes to the same record.
  std::string line = gt::encodeAgentEvent(*ev);
  assert(line.find('\n') == std::string::npos);
  auto again = gt::decodeAgentEvent(line);
  assert(again && *again == *ev);
  return 0;
}

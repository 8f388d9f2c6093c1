// ~/.codex/config.toml and ~/.kimi-code/config.toml belong to the user: an edit adds or removes our
// hook and nothing else. The first byte picks the editor.
#include <toml++/toml.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/companion/codex_config_editor.h"
#include "cli/companion/kimi_config_editor.h"
#include "fuzz_check.h"

namespace {

const std::vector<std::string> kCodexArgv = {"/opt/gt/glowticker-hook", "--agent", "codex"};
const std::string kKimiCommand = "/opt/gt/glowticker-hook --agent kimi";
const gt::HookSetup kCodex{"~/.codex/config.toml", kCodexArgv, {}, {}};
const gt::HookSetup kKimi{"~/.kimi-code/config.toml", {}, kKimiCommand, gt::agentFromRaw("kimi").value()->events};

std::optional<toml::table> parse(std::string_view text) {
  try {
    return toml::parse(text);
  } catch (const toml::parse_error&) {
    return std::nullopt;
  }
}

bool isOurs(const toml::node& n) {
  const toml::table* t = n.as_table();
  const toml::node* c = t ? t->get("command") : nullptr;
  return c && c->is_string() && c->as_string()->get().find(gt::kHookMarker) != std::string::npos;
}

// The user's own kimi content: the hooks list without our entries (and gone when that empties it).
toml::table kimiUsersPart(toml::table t) {
  toml::array* hooks = t.get_as<toml::array>("hooks");
  if (!hooks) return t;
  toml::array kept;
  for (auto&& e : *hooks)
    if (!isOurs(e)) kept.push_back(e);
  if (kept.empty())
    t.erase("hooks");
  else
    t.insert_or_assign("hooks", std::move(kept));
  return t;
}

void codex(std::string_view text) {
  auto before = parse(text);
  gt::ConfigEdit in = gt::CodexConfigEditor::install(text, kCodex);
  if (!in.error.empty()) return;
  GT_FUZZ_CHECK(before.has_value());
  auto after = parse(in.text);
  GT_FUZZ_CHECK(after.has_value());
  const toml::array* notify = after->get_as<toml::array>("notify");
  GT_FUZZ_CHECK(notify && notify->size() >= kCodexArgv.size());
  for (std::size_t i = 0; i < kCodexArgv.size(); ++i)
    GT_FUZZ_CHECK(notify->get(i)->value<std::string>() == kCodexArgv[i]);
  toml::table a = *after, b = *before;
  a.erase("notify");
  b.erase("notify");
  GT_FUZZ_CHECK(a == b);

  gt::ConfigEdit out = gt::CodexConfigEditor::uninstall(in.text, kCodex);
  GT_FUZZ_CHECK(out.error.empty());
  auto restored = parse(out.text);
  GT_FUZZ_CHECK(restored.has_value());
  const toml::node* was = before->get("notify");
  bool wasOurs = was && was->is_array() && !was->as_array()->empty() &&
                 was->as_array()->get(0)->value<std::string>().value_or("").find(gt::kHookMarker) != std::string::npos;
  if (!wasOurs) GT_FUZZ_CHECK(*restored == *before);  // the user's own notify comes back as it was
}

void kimi(std::string_view text) {
  auto before = parse(text);
  gt::ConfigEdit in = gt::KimiConfigEditor::install(text, kKimi);
  if (!in.error.empty()) return;
  GT_FUZZ_CHECK(before.has_value());
  auto after = parse(in.text);
  GT_FUZZ_CHECK(after.has_value());
  GT_FUZZ_CHECK(kimiUsersPart(*after) == kimiUsersPart(*before));
  const toml::array* hooks = after->get_as<toml::array>("hooks");
  GT_FUZZ_CHECK(hooks != nullptr);
  int ours = 0;
  for (auto&& e : *hooks) ours += isOurs(e);
  GT_FUZZ_CHECK(ours == 2);

  gt::ConfigEdit out = gt::KimiConfigEditor::uninstall(in.text, kKimi);
  GT_FUZZ_CHECK(out.error.empty());
  auto restored = parse(out.text);
  GT_FUZZ_CHECK(restored.has_value());
  GT_FUZZ_CHECK(kimiUsersPart(*restored) == kimiUsersPart(*before));
  GT_FUZZ_CHECK(!restored->get("hooks") || restored->get_as<toml::array>("hooks"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1)
    kimi(text);
  else
    codex(text);
  return 0;
}

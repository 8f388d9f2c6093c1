#pragma once

namespace gt {

// The hook state a toggle row last applied or read. Comparing the switch's new value with it tells a
// user's click (differs) from the row's own updates (equal), which must not start a change.
struct HookToggleFlow {
  bool applied = false;
  bool operator==(const HookToggleFlow&) const = default;
};

}  // namespace gt

#pragma once
#include <string>
#include <variant>

namespace gt {

// The link state shown in the icon, the panel and `glowticker status`.
struct ConnState {
  enum class Kind { unpaired, offline, connected };
  Kind kind = Kind::unpaired;
  std::string deviceName;  // connected only

  static ConnState unpaired() { return {}; }
  static ConnState offline() { return {Kind::offline, {}}; }
  static ConnState connected(std::string name) { return {Kind::connected, std::move(name)}; }

  bool isOnline() const { return kind == Kind::connected; }
  std::string label() const {
    switch (kind) {
      case Kind::unpaired:
        return "未配对";
      case Kind::offline:
        return "离线 / 不可达";
      case Kind::connected:
        return "已连接 " + deviceName;
    }
    return {};
  }
  bool operator==(const ConnState&) const = default;
};

}  // namespace gt

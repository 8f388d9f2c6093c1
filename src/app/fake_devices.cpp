#include "app/fake_devices.h"

#include <charconv>
#include <cstdlib>
#include <string>

namespace gt {
namespace {

std::optional<std::int64_t> parsePort(std::string_view s) {
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc{} || end != s.data() + s.size() || v < 1 || v > 65535) return std::nullopt;
  return v;
}

std::optional<DiscoveredDevice> parseEntry(std::string_view entry) {
  const auto at = entry.rfind('@');
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  std::string_view rest = entry.substr(at + 1);
  const auto wsColon = rest.rfind(':');
  if (wsColon == std::string_view::npos) return std::nullopt;
  const auto httpColon = rest.rfind(':', wsColon == 0 ? std::string_view::npos : wsColon - 1);
  if (httpColon == std::string_view::npos || httpColon == 0 || httpColon >= wsColon) return std::nullopt;
  auto http = parsePort(rest.substr(httpColon + 1, wsColon - httpColon - 1));
  auto ws = parsePort(rest.substr(wsColon + 1));
  if (!http || !ws) return std::nullopt;
  DiscoveredDevice d;
  d.name = std::string(entry.substr(0, at));
  d.host = std::string(rest.substr(0, httpColon));
  d.httpPort = *http;
  d.wsPort = *ws;
  return d;
}

}  // namespace

namespace FakeDevices {

std::vector<DiscoveredDevice> parse(std::string_view list) {
  std::vector<DiscoveredDevice> out;
  while (!list.empty()) {
    const auto comma = list.find(',');
    if (auto d = parseEntry(list.substr(0, comma))) out.push_back(std::move(*d));
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return out;
}

std::optional<std::vector<DiscoveredDevice>> fromEnvironment() {
  const char* v = std::getenv(kEnvVar);
  if (!v) return std::nullopt;
  return parse(v);
}

}  // namespace FakeDevices

}  // namespace gt

#include "core/pairing/pairing_record.h"

#include <limits>
#include <nlohmann/json.hpp>

namespace gt {

namespace {

bool readString(const nlohmann::json& obj, const char* key, std::string& out) {
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool readInteger(const nlohmann::json& obj, const char* key, std::int64_t& out) {
  auto it = obj.find(key);
  if (it == obj.end()) return false;
  if (it->is_number_unsigned()) {
    auto v = it->get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    out = static_cast<std::int64_t>(v);
    return true;
  }
  if (!it->is_number_integer()) return false;
  out = it->get<std::int64_t>();
  return true;
}

}  // namespace

std::optional<ClockConfig> decodeClockConfig(std::string_view json) {
  auto doc = nlohmann::json::parse(json.begin(), json.end(), nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) return std::nullopt;
  ClockConfig cfg;
  if (!readString(doc, "device_name", cfg.deviceName) || !readString(doc, "host", cfg.host) ||
      !readInteger(doc, "ws_port", cfg.wsPort) || !readInteger(doc, "http_port", cfg.httpPort) ||
      !readString(doc, "token", cfg.token) || !readString(doc, "paired_at", cfg.pairedAt))
    return std::nullopt;
  return cfg;
}

std::string encodeClockConfig(const ClockConfig& cfg) {
  const nlohmann::ordered_json doc = {
      {"device_name", cfg.deviceName}, {"host", cfg.host},   {"ws_port", cfg.wsPort},
      {"http_port", cfg.httpPort},     {"token", cfg.token}, {"paired_at", cfg.pairedAt}};
  return doc.dump(2) + "\n";
}

}  // namespace gt

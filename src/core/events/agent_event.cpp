#include "core/events/agent_event.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace gt {

namespace {

using json = nlohmann::json;

bool fail(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
  return false;
}

bool takeString(const json& obj, const char* key, std::string& out, std::string* error) {
  auto it = obj.find(key);
  if (it == obj.end()) return fail(error, std::string("missing key \"") + key + "\"");
  if (!it->is_string()) return fail(error, std::string("\"") + key + "\" is not a string");
  out = it->get_ref<const std::string&>();
  return true;
}

// The parser keeps big positive integers as unsigned and anything with a fraction or exponent as a
// double, so "integral and within int64" has to be decided per representation.
bool takeTimestamp(const json& obj, std::int64_t& out, std::string* error) {
  auto it = obj.find("ts");
  if (it == obj.end()) return fail(error, "missing key \"ts\"");
  if (it->is_number_integer() && !it->is_number_unsigned()) {
    out = it->get<std::int64_t>();
    return true;
  }
  if (it->is_number_unsigned()) {
    auto v = it->get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return fail(error, "\"ts\" is outside the signed 64-bit range");
    out = static_cast<std::int64_t>(v);
    return true;
  }
  if (it->is_number_float()) {
    double d = it->get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d) return fail(error, "\"ts\" is not an integer");
    // 2^63 is exactly representable as a double and is the first value out of range.
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0)
      return fail(error, "\"ts\" is outside the signed 64-bit range");
    out = static_cast<std::int64_t>(d);
    return true;
  }
  return fail(error, "\"ts\" is not a number");
}

}  // namespace

std::optional<AgentEvent> decodeAgentEvent(std::string_view text, std::string* error) {
  json doc = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) {
    fail(error, "not valid JSON");
    return std::nullopt;
  }
  if (!doc.is_object()) {
    fail(error, "not a JSON object");
    return std::nullopt;
  }
  AgentEvent ev;
  if (!takeString(doc, "type", ev.type, error) || !takeString(doc, "agent", ev.agent, error) ||
      !takeString(doc, "state", ev.state, error) || !takeString(doc, "title", ev.title, error) ||
      !takeString(doc, "message", ev.message, error) || !takeString(doc, "project", ev.project, error) ||
      !takeTimestamp(doc, ev.ts, error))
    return std::nullopt;
  return ev;
}

std::string encodeAgentEvent(const AgentEvent& event) {
  // ordered_json keeps insertion order, so the keys come out in field order.
  nlohmann::ordered_json obj;
  obj["type"] = event.type;
  obj["agent"] = event.agent;
  obj["state"] = event.state;
  obj["title"] = event.title;
  obj["message"] = event.message;
  obj["project"] = event.project;
  obj["ts"] = event.ts;
  // Invalid UTF-8 in a field becomes U+FFFD rather than an exception.
  return obj.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace gt

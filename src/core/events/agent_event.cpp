#include "core/events/agent_event.h"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

namespace gt {

namespace {

using json = nlohmann::json;

constexpr const char* kKeys[] = {"type", "agent", "state", "title", "message", "project", "ts"};
constexpr int kTs = 6;

// Decides "an integer representable in signed 64 bits" from the number's own text, so that values
// the parser could only hold as a rounded double (1.0000000000000001, -9223372036854775809,
// 9007199254740993.0) are judged exactly. `text` is an RFC 8259 number.
bool integralFromText(std::string_view text, std::int64_t& out, std::string& reason) {
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  std::string digits;
  std::size_t i = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') digits += text[i++];
  long long point = static_cast<long long>(digits.size());
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') digits += text[i++];
  }
  long long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
      if (exponent < 1'000'000) exponent = exponent * 10 + (text[i] - '0');  // beyond this only zero fits
    if (expNegative) exponent = -exponent;
  }
  std::size_t lead = digits.find_first_not_of('0');
  if (lead == std::string::npos) {  // zero, however written
    out = 0;
    return true;
  }
  digits.erase(0, lead);
  point += exponent - static_cast<long long>(lead);
  if (point <= 0) return reason = "\"ts\" is not an integer", false;
  if (point < static_cast<long long>(digits.size()) &&
      digits.find_first_not_of('0', static_cast<std::size_t>(point)) != std::string::npos)
    return reason = "\"ts\" is not an integer", false;
  if (point > 19) return reason = "\"ts\" is outside the signed 64-bit range", false;
  std::uint64_t magnitude = 0;  // at most 19 digits: below 2^64
  for (long long k = 0; k < point; ++k)
    magnitude = magnitude * 10 + (k < static_cast<long long>(digits.size()) ? digits[k] - '0' : 0);
  const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
  if (magnitude > limit) return reason = "\"ts\" is outside the signed 64-bit range", false;
  out = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

// Streams the record without building a document: only the seven members of the top-level object
// are looked at, anything else (however nested) is skipped.
class EventReader {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  bool null() { return scalar("null"); }
  bool boolean(bool) { return scalar("a boolean"); }
  bool number_integer(number_integer_t v) {
    if (!topLevelMember()) return depth_ > 0;
    if (current_ != kTs) return wrongType("a number");
    event_.ts = v;
    return mark();
  }
  bool number_unsigned(number_unsigned_t v) {
    if (!topLevelMember()) return depth_ > 0;
    if (current_ != kTs) return wrongType("a number");
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return failWith("\"ts\" is outside the signed 64-bit range");
    event_.ts = static_cast<std::int64_t>(v);
    return mark();
  }
  bool number_float(number_float_t, const string_t& text) {
    if (!topLevelMember()) return depth_ > 0;
    if (current_ != kTs) return wrongType("a number");
    std::string reason;
    if (!integralFromText(text, event_.ts, reason)) return failWith(reason);
    return mark();
  }
  bool string(string_t& v) {
    if (!topLevelMember()) return depth_ > 0;
    if (current_ == kTs) return failWith("\"ts\" is not a number");
    field(current_) = v;  // a copy leaves the parser its buffer to reuse
    return mark();
  }
  bool binary(binary_t&) { return failWith("binary value"); }
  bool start_object(std::size_t) {
    if (depth_ == 0) sawObject_ = true;
    return open();
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) {
    if (depth_ == 0) return failWith("not a JSON object");
    return open();
  }
  bool end_array() { return close(); }
  bool key(string_t& k) {
    if (depth_ == 1) {
      current_ = -1;
      for (int i = 0; i < 7; ++i)
        if (k == kKeys[i]) current_ = i;
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    if (reason_.empty()) reason_ = "not valid JSON";
    return false;
  }

  std::optional<AgentEvent> result(std::string* error) {
    if (reason_.empty() && !sawObject_) reason_ = "not a JSON object";
    for (int i = 0; i < 7 && reason_.empty(); ++i)
      if (!seen_[i]) reason_ = std::string("missing key \"") + kKeys[i] + "\"";
    if (!reason_.empty()) {
      if (error) *error = reason_;
      return std::nullopt;
    }
    return std::move(event_);
  }

 private:
  // A value directly inside the top-level object under one of the seven keys.
  bool topLevelMember() const { return depth_ == 1 && current_ >= 0; }
  bool scalar(const char* what) {
    if (depth_ == 0) return failWith("not a JSON object");
    return topLevelMember() ? wrongType(what) : true;
  }
  bool open() {
    if (topLevelMember()) return wrongType("an object or array");
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }
  bool mark() {
    seen_[current_] = true;
    return true;
  }
  bool wrongType(const char* what) {
    return failWith(std::string("\"") + kKeys[current_] + "\" is " + what + ", not " +
                    (current_ == kTs ? "an integer" : "a string"));
  }
  bool failWith(std::string reason) {
    if (reason_.empty()) reason_ = std::move(reason);
    return false;
  }
  std::string& field(int i) {
    switch (i) {
      case 0:
        return event_.type;
      case 1:
        return event_.agent;
      case 2:
        return event_.state;
      case 3:
        return event_.title;
      case 4:
        return event_.message;
      default:
        return event_.project;
    }
  }

  AgentEvent event_;
  bool seen_[7] = {};
  int depth_ = 0;
  int current_ = -1;
  bool sawObject_ = false;
  std::string reason_;
};

}  // namespace

std::optional<AgentEvent> decodeAgentEvent(std::string_view text, std::string* error) {
  EventReader reader;
  json::sax_parse(text.begin(), text.end(), &reader, nlohmann::detail::input_format_t::json, /*strict=*/true);
  return reader.result(error);
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

#include "core/events/agent_event.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>

namespace gt {

namespace {

using json = nlohmann::json;

constexpr const char* kKeys[] = {"type", "agent", "state", "title", "message", "project", "ts"};
constexpr int kTs = 6;
constexpr int kOrigin = 7;  // the optional eighth member; never makes the record fail

// The members of "origin", in wire order.
constexpr const char* kOriginKeys[] = {
    "session",         "pids",         "tmux",   "tmux_pane", "windowid", "term_program",
    "kitty_window_id", "wezterm_pane", "vscode", "unknown"};
enum OriginMember {
  oSession,
  oPids,
  oTmux,
  oTmuxPane,
  oWindowId,
  oTermProgram,
  oKitty,
  oWezterm,
  oVscode,
  oUnknown,
  oCount
};
constexpr std::size_t kMaxOriginText = EventOrigin::kMaxText;
constexpr std::size_t kMaxOriginPids = EventOrigin::kMaxPids;

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

  bool null() {
    if (inOrigin()) return originValue(Kind::other);
    return scalar("null");
  }
  bool boolean(bool v) {
    if (inOrigin()) return originValue(v ? Kind::yes : Kind::no);
    return scalar("a boolean");
  }
  bool number_integer(number_integer_t v) {
    if (inOrigin()) return originValue(Kind::number, v);
    if (!topLevelMember()) return depth_ > 0;
    if (current_ != kTs) return wrongType("a number");
    event_.ts = v;
    return mark();
  }
  bool number_unsigned(number_unsigned_t v) {
    if (inOrigin())
      return originValue(Kind::number, v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                                           ? -1
                                           : static_cast<std::int64_t>(v));
    if (!topLevelMember()) return depth_ > 0;
    if (current_ != kTs) return wrongType("a number");
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return failWith("\"ts\" is outside the signed 64-bit range");
    event_.ts = static_cast<std::int64_t>(v);
    return mark();
  }
  bool number_float(number_float_t, const string_t& text) {
    if (inOrigin()) return originValue(Kind::other);
    if (!topLevelMember()) return depth_ > 0;
    if (current_ != kTs) return wrongType("a number");
    std::string reason;
    if (!integralFromText(text, event_.ts, reason)) return failWith(reason);
    return mark();
  }
  bool string(string_t& v) {
    if (inOrigin()) return originValue(Kind::text, 0, &v);
    if (!topLevelMember()) return depth_ > 0;
    if (current_ == kTs) return failWith("\"ts\" is not a number");
    field(current_) = v;  // a copy leaves the parser its buffer to reuse
    return mark();
  }
  bool binary(binary_t&) { return failWith("binary value"); }
  bool start_object(std::size_t) {
    if (depth_ == 0) sawObject_ = true;
    if (depth_ == 1 && current_ == kOrigin) {
      origin_.emplace();
      std::fill(std::begin(originBad_), std::end(originBad_), false);
      ++depth_;
      return true;
    }
    if (inOrigin()) originValue(Kind::other);
    return open();
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) {
    if (depth_ == 0) return failWith("not a JSON object");
    if (inOrigin()) {
      if (depth_ == 2 && member_ == oPids) {
        origin_->pids.clear();
        originBad_[oPids] = false;
        ++depth_;
        return true;
      }
      originValue(Kind::other);
    }
    return open();
  }
  bool end_array() { return close(); }
  bool key(string_t& k) {
    if (depth_ == 1) {
      current_ = -1;
      for (int i = 0; i < 8; ++i)
        if (k == (i == kOrigin ? "origin" : kKeys[i])) current_ = i;
      if (current_ == kOrigin) originWhole_ = true;  // until its value proves otherwise
    } else if (depth_ == 2 && originOpen()) {
      member_ = -1;
      for (int i = 0; i < oCount; ++i)
        if (k == kOriginKeys[i]) member_ = i;
      if (member_ >= 0) originBad_[member_] = false;  // the last of repeated keys decides, as for the record
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    if (reason_.empty()) reason_ = "not valid JSON", kind_ = RecordProblem::notJsonObject;
    return false;
  }

  Result<AgentEvent, Problem<RecordProblem>> result() {
    if (reason_.empty() && !sawObject_) reason_ = "not a JSON object", kind_ = RecordProblem::notJsonObject;
    for (int i = 0; i < 7 && reason_.empty(); ++i)
      if (!seen_[i]) reason_ = std::string("missing key \"") + kKeys[i] + "\"", kind_ = RecordProblem::missingKey;
    if (!reason_.empty()) return fail(kind_, std::move(reason_));
    if (origin_ && originWhole_ && std::none_of(std::begin(originBad_), std::end(originBad_), [](bool b) { return b; }))
      event_.origin = std::move(origin_);
    return std::move(event_);
  }

 private:
  enum class Kind { text, number, yes, no, other };

  // A value directly inside the top-level object under one of the seven keys.
  bool topLevelMember() const { return depth_ == 1 && current_ >= 0 && current_ < kOrigin; }
  // Inside the "origin" object, or its value when that is not an object.
  bool originOpen() const { return origin_.has_value() && originWhole_ && current_ == kOrigin; }
  bool inOrigin() const { return (depth_ == 1 && current_ == kOrigin) || (depth_ >= 2 && originOpen()); }

  // One value inside "origin" (or "origin" itself when it is no object): a wrong type or an oversized
  // value drops the origin, never the record.
  bool originValue(Kind kind, std::int64_t number = 0, const std::string* text = nullptr) {
    if (depth_ == 1) {  // "origin" is not an object
      origin_.reset();
      originWhole_ = false;
      return true;
    }
    if (member_ < 0) return true;  // a member this version does not know
    if (depth_ == 3) {             // an element of "pids"
      if (member_ == oPids && kind == Kind::number && number > 0 &&
          number <= std::numeric_limits<std::int32_t>::max() && origin_->pids.size() < kMaxOriginPids)
        origin_->pids.push_back(number);
      else if (member_ == oPids)
        originBad_[oPids] = true;
      return true;
    }
    if (depth_ > 3) return true;  // nested deeper: its container is already marked
    bool& bad = originBad_[member_];
    if (member_ == oVscode) {
      bad = kind != Kind::yes && kind != Kind::no;
      origin_->vscode = kind == Kind::yes;
    } else if (member_ == oPids || kind != Kind::text || text->size() > kMaxOriginText) {
      bad = true;
    } else {
      originText(member_) = *text;
    }
    return true;
  }
  std::string& originText(int member) {
    switch (member) {
      case oSession:
        return origin_->session;
      case oTmux:
        return origin_->tmux;
      case oTmuxPane:
        return origin_->tmuxPane;
      case oWindowId:
        return origin_->windowId;
      case oTermProgram:
        return origin_->termProgram;
      case oKitty:
        return origin_->kittyWindowId;
      case oWezterm:
        return origin_->weztermPane;
      default:
        return origin_->unknown;
    }
  }
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
  std::optional<EventOrigin> origin_;
  bool originWhole_ = false;     // "origin" seen and, so far, an object
  bool originBad_[oCount] = {};  // per member, so that the last of repeated keys decides
  int member_ = -1;              // the current key inside "origin"
  bool seen_[7] = {};
  int depth_ = 0;
  int current_ = -1;
  bool sawObject_ = false;
  std::string reason_;
  RecordProblem kind_ = RecordProblem::badValue;  // of the first reason
};

}  // namespace

Result<AgentEvent, Problem<RecordProblem>> decodeAgentEvent(std::string_view text) {
  EventReader reader;
  json::sax_parse(text.begin(), text.end(), &reader, nlohmann::detail::input_format_t::json, /*strict=*/true);
  return reader.result();
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
  if (const auto& o = event.origin) {
    // Members left out when empty, so a hook outside any terminal multiplexer writes little.
    nlohmann::ordered_json origin = nlohmann::ordered_json::object();
    auto text = [&origin](const char* key, const std::string& value) {
      if (!value.empty()) origin[key] = value;
    };
    text("session", o->session);
    if (!o->pids.empty())
      origin["pids"] =
          std::vector<std::int64_t>(o->pids.begin(), o->pids.begin() + std::min(o->pids.size(), kMaxOriginPids));
    text("tmux", o->tmux);
    text("tmux_pane", o->tmuxPane);
    text("windowid", o->windowId);
    text("term_program", o->termProgram);
    text("kitty_window_id", o->kittyWindowId);
    text("wezterm_pane", o->weztermPane);
    if (o->vscode) origin["vscode"] = true;
    text("unknown", o->unknown);
    obj["origin"] = std::move(origin);
  }
  // Invalid UTF-8 in a field becomes U+FFFD rather than an exception.
  return obj.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace gt

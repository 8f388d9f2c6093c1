#pragma once
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>

// Small readers the agents' payload mappers share.
namespace gt::payload {

// The string at `key`, or "" when it is missing or not a string.
inline std::string text(const nlohmann::json& doc, const char* key) {
  auto it = doc.find(key);
  return it != doc.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The first text that holds more than whitespace.
inline std::string firstOf(std::initializer_list<std::string> texts) {
  for (const std::string& t : texts)
    if (t.find_first_not_of(" \t\r\n") != std::string::npos) return t;
  return {};
}

}  // namespace gt::payload

#include "core/discovery/discovered_device.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/common/utf8.h"

namespace gt {
namespace {

constexpr std::array<std::string_view, 4> kTxtKeys = {"ws", "http", "v", "device"};
constexpr std::int64_t kDefaultWsPort = 8888;
constexpr std::int64_t kDefaultHttpPort = 8889;

// DNS-SD keys are printable ASCII and compared without regard to case.
bool keyEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Digits only, after one optional sign, no spaces, within the signed 64-bit range.
std::optional<std::int64_t> parseDecimal(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // from_chars takes a leading '-' but not a '+'.
  std::string_view number = text.front() == '+' ? digits : text;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return value;
}

}  // namespace

std::vector<std::string> txtEntries(const std::vector<std::string>& rawTxt) {
  std::vector<std::string> entries;
  for (std::string_view key : kTxtKeys) {
    // Only the first occurrence of a key counts; later ones are ignored as DNS-SD prescribes.
    for (const std::string& raw : rawTxt) {
      std::string_view item = raw;
      std::size_t eq = item.find('=');
      std::string_view itemKey = eq == std::string_view::npos ? item : item.substr(0, eq);
      if (!keyEquals(itemKey, key)) continue;
      if (eq != std::string_view::npos) {
        std::string_view value = item.substr(eq + 1);
        if (isValidUtf8(value)) {
          entries.push_back(std::string(key) + "=" + std::string(value));
        }
      }
      break;
    }
  }
  return entries;
}

DiscoveredDevice parseDevice(std::string_view instance, std::string_view host, std::int64_t srvPort,
                             const std::vector<std::string>& txt) {
  DiscoveredDevice d;
  d.name = std::string(instance);
  d.host = std::string(host);
  d.wsPort = srvPort != 0 ? srvPort : kDefaultWsPort;
  d.httpPort = kDefaultHttpPort;
  for (std::string_view entry : txt) {
    std::size_t eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = entry.substr(0, eq);
    std::string_view value = entry.substr(eq + 1);
    if (key == "ws") {
      if (auto n = parseDecimal(value)) d.wsPort = *n;
    } else if (key == "http") {
      if (auto n = parseDecimal(value)) d.httpPort = *n;
    } else if (key == "v") {
      d.version = std::string(value);
    } else if (key == "device") {
      d.device = std::string(value);
    }
  }
  return d;
}

}  // namespace gt

// `glowticker status`, `pair` and `unpair`: the same store, device client and failure texts as the
// tray app, so the terminal and the panel always agree.
#include <charconv>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/help.h"
#include "core/common/utf8.h"
#include "core/pairing/config_store.h"
#include "core/pairing/pairing_code.h"
#include "core/pairing/pairing_flow.h"
#include "core/pairing/phone_client.h"

namespace gt::cli {

namespace {

constexpr const char* kPairUsage =
    "Usage: glowticker pair --host H --http-port P --ws-port W --name N --code C\n"
    "       glowticker pair --device NAME --code C\n";

int usageError(const std::string& command, const std::string& problem, const char* usage) {
  std::cerr << "glowticker " << command << ": " << problem << "\n" << usage;
  return 2;
}

std::optional<std::int64_t> parsePort(const std::string& text) {
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < 1 || v > 65535) return std::nullopt;
  return v;
}

// The record and the link label carry the phone's own text, printed with control characters made visible.
void printRecord(const ClockConfig& cfg) {
  std::cout << terminalSafe(cfg.host) << "  ws=" << cfg.wsPort << " http=" << cfg.httpPort << "\n";
}

const char* stateWord(ConnState::Kind kind) {
  switch (kind) {
    case ConnState::Kind::connected:
      return "connected";
    case ConnState::Kind::offline:
      return "offline";
    case ConnState::Kind::unpaired:
      break;
  }
  return "unpaired";
}

// For scripts: the state, the panel's label and the record, never the token.
std::string statusJson(const RefreshOutcome& outcome) {
  nlohmann::ordered_json j;
  j["state"] = stateWord(outcome.conn.kind);
  j["label"] = outcome.conn.label();
  if (const auto& cfg = outcome.cfg) {
    j["pairing"] = {{"device_name", cfg->deviceName}, {"host", cfg->host},     {"ws_port", cfg->wsPort},
                    {"http_port", cfg->httpPort},     {"paired_at", cfg->pairedAt}};
  } else {
    j["pairing"] = nullptr;
  }
  // The phone's texts may hold bytes that are not UTF-8: JSON gets U+FFFD for them.
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

int statusExit(ConnState::Kind kind) {
  switch (kind) {
    case ConnState::Kind::connected:
      return kExitOk;
    case ConnState::Kind::offline:
      return kExitOffline;
    case ConnState::Kind::unpaired:
      break;
  }
  return kExitUnpaired;
}

}  // namespace

int runStatus(int argc, char** argv) {
  auto parsed = parseArgs(argc, argv, {}, {"json"});
  constexpr const char* kStatusUsage = "Usage: glowticker status [--json]\n";
  if (!parsed) return usageError("status", parsed.error().detail, kStatusUsage);
  const Args& args = *parsed;
  if (!args.positional.empty())
    return usageError("status", "unexpected argument '" + args.positional.front() + "'", kStatusUsage);

  ClockAPI api;
  RefreshOutcome outcome = loadAndProbe(api);
  if (args.has("json")) {
    std::cout << statusJson(outcome) << "\n";
  } else {
    std::cout << terminalSafe(outcome.conn.label()) << "\n";
    if (outcome.cfg) printRecord(*outcome.cfg);
  }
  return statusExit(outcome.conn.kind);
}

int runPair(int argc, char** argv) {
  auto parsed = parseArgs(argc, argv, {"host", "http-port", "ws-port", "name", "code", "device"});
  if (!parsed) return usageError("pair", parsed.error().detail, kPairUsage);
  const Args& args = *parsed;
  if (!args.positional.empty())
    return usageError("pair", "unexpected argument '" + args.positional.front() + "'", kPairUsage);
  if (!args.has("code") || args.get("code")->empty())
    return usageError("pair", "the code the phone shows is needed: --code C", kPairUsage);
  // The panel's own filter, and nothing is sent unless exactly a whole code remains: every wrong code
  // costs one of the phone's few attempts before it locks pairing.
  const std::string code = PairingCode::wholeCode(*args.get("code"));
  if (code.empty())
    return usageError("pair",
                      "the code must be the " + std::to_string(PairingCode::kLength) + " digits the phone shows (got \"" +
                          terminalSafe(*args.get("code")) + "\"); nothing was sent",
                      kPairUsage);

  std::string host, name;
  std::int64_t httpPort = 0, wsPort = 0;
  const bool byAddress = args.has("host") || args.has("http-port") || args.has("ws-port") || args.has("name");
  if (args.has("device")) {
    if (byAddress)
      return usageError("pair", "give either --device or --host/--http-port/--ws-port/--name, not both", kPairUsage);
    auto found = findDeviceByName(*args.get("device"));
    if (!found) {
      std::cerr << "glowticker pair: " << terminalSafe(found.error().detail) << "\n";
      return 1;
    }
    host = found->host;
    httpPort = found->httpPort;
    wsPort = found->wsPort;
    name = found->name;
  } else {
    for (const char* required : {"host", "http-port", "ws-port", "name"}) {
      if (!args.has(required) || args.get(required)->empty())
        return usageError("pair", std::string("missing --") + required, kPairUsage);
    }
    host = *args.get("host");
    name = *args.get("name");
    auto http = parsePort(*args.get("http-port"));
    auto ws = parsePort(*args.get("ws-port"));
    if (!http) return usageError("pair", "--http-port must be a port number from 1 to 65535", kPairUsage);
    if (!ws) return usageError("pair", "--ws-port must be a port number from 1 to 65535", kPairUsage);
    httpPort = *http;
    wsPort = *ws;
  }

  ClockAPI api;
  auto result = pairAndStore(api, host, httpPort, wsPort, name, code);
  if (!result) {
    std::cerr << terminalSafe(pairFailureText(result.error())) << "\n";
    return 1;
  }
  // Then refresh as the app does, so the user sees the link the app will show.
  std::cout << "Paired with " << terminalSafe(name) << "; saved to " << ConfigStore::configPath().string() << ".\n";
  RefreshOutcome outcome = loadAndProbe(api);
  std::cout << terminalSafe(outcome.conn.label()) << "\n";
  if (outcome.cfg) printRecord(*outcome.cfg);
  return 0;
}

int runUnpair(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {});
  if (!args) return usageError("unpair", args.error().detail, "Usage: glowticker unpair\n");
  if (!args->positional.empty())
    return usageError("unpair", "unexpected argument '" + args->positional.front() + "'", "Usage: glowticker unpair\n");

  const auto path = ConfigStore::configPath();
  if (auto deleted = ConfigStore::deleteConfig(); !deleted) {
    const std::errc ec = deleted.error().kind;
    if (ec == std::errc::no_such_file_or_directory)
      std::cerr << "glowticker unpair: not paired: there is no pairing to forget (" << path.string()
                << " does not exist).\n";
    else
      std::cerr << "glowticker unpair: could not remove " << path.string() << ": " << std::make_error_code(ec).message()
                << "\n";
    return 1;
  }
  std::cout << "Unpaired: removed " << path.string() << ".\n";
  return 0;
}

}  // namespace gt::cli

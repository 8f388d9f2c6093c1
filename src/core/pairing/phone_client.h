#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/common/result.h"

namespace gt {

// Why a pairing failed.
struct PairError {
  enum class Kind { locked, http, transport, invalidCode };
  Kind kind = Kind::transport;
  std::int64_t retryAfter = 0;  // locked
  std::int64_t status = 0;      // http
  std::string body;             // http
  std::string message;          // transport

  static PairError locked(std::int64_t retryAfter) { return {Kind::locked, retryAfter, 0, {}, {}}; }
  static PairError http(std::int64_t status, std::string body) { return {Kind::http, 0, status, std::move(body), {}}; }
  static PairError transport(std::string message) { return {Kind::transport, 0, 0, {}, std::move(message)}; }
  static PairError invalidCode() { return {Kind::invalidCode, 0, 0, {}, {}}; }

  bool operator==(const PairError&) const = default;
};

struct PairSuccess {
  std::string token;
  std::string device;
  bool operator==(const PairSuccess&) const = default;
};

using PairResult = Result<PairSuccess, PairError>;

// The pairing endpoint's answer as a result: 429 `locked` (its "retry_after", else 0), 403
// `invalidCode`, 200 with a non-empty "token" success, anything else `http` with the body (empty
// when the body is not valid UTF-8). Pure, so the mapping can be tested without a device.
PairResult mapPairResponse(std::int64_t status, std::string_view body);

// The phone's HTTP client (the phone app is "the device"), over libcurl. Stateless: every call has its own handle, so
// any number of calls may run at once from any threads. Never uses a proxy. Virtual so tests can stand in for a device.
class ClockAPI {
 public:
  struct Timeouts {
    std::chrono::milliseconds probe{2000};
    std::chrono::milliseconds pair{5000};
  };
  static constexpr std::size_t kMaxResponseBytes = 64 * 1024;

  ClockAPI();
  explicit ClockAPI(Timeouts timeouts);
  virtual ~ClockAPI() = default;

  // "http://" + host (bracketed when it holds ':') + ":" + port + path.
  static std::string endpointString(std::string_view host, std::int64_t port, std::string_view path);

  // GET /api/agent?token=…; true exactly on status 200 within the probe time-out.
  virtual bool probe(const std::string& host, std::int64_t httpPort, const std::string& token) const;
  // POST /api/pair {"code","client"}; mapped as 429, 403, 200, other. A response body larger than
  // kMaxResponseBytes ends the exchange as a transport failure. Redirects are not followed (a 3xx is
  // an `http` failure). Code and client must be UTF-8 (pairAndStore checks).
  virtual PairResult pair(const std::string& host, std::int64_t httpPort, const std::string& code,
                          const std::string& client) const;

 private:
  Timeouts timeouts_;
};

}  // namespace gt

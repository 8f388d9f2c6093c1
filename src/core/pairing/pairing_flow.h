#pragma once
#include <chrono>
#include <optional>
#include <string>

#include "core/pairing/config_store.h"
#include "core/pairing/conn_state.h"
#include "core/pairing/phone_client.h"

namespace gt {

// Why `pairAndStore` failed: the device's answer, or, without one, what failed on this side (the code
// could not be sent, the record could not be saved).
struct PairFailure {
  std::optional<PairError> pairError;
  std::string detail;  // when pairError is absent
};

// The one line of Chinese text the pairing view (and `glowticker pair`) shows for a failure.
std::string pairFailureText(const PairFailure& failure);

// "2026-03-01T09:05:07Z": UTC, whole seconds.
std::string iso8601UtcSeconds(std::chrono::system_clock::time_point t);

// The computer's host name, as the client name sent to the device.
std::string localHostName();

// Pairs with the device and stores the record (caller's name and ports, the returned token, now).
// Does not refresh: the caller reloads and probes afterwards.
Result<ClockConfig, PairFailure> pairAndStore(const ClockAPI& api, const std::string& host, std::int64_t httpPort,
                                              std::int64_t wsPort, const std::string& deviceName,
                                              const std::string& code);

// One refresh's outcome: reload the record, probe it when it has a token.
struct RefreshOutcome {
  std::optional<ClockConfig> cfg;
  ConnState conn;
};
// Probe step alone, for a record already loaded (absent or empty token: unpaired, no request).
ConnState probeState(const ClockAPI& api, const std::optional<ClockConfig>& cfg);
// A whole refresh off the UI thread: ConfigStore::load() then probeState (used by `glowticker status`).
RefreshOutcome loadAndProbe(const ClockAPI& api);

}  // namespace gt

#include "core/pairing/pairing_flow.h"

#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "core/common/utf8.h"

namespace gt {

std::string pairFailureText(const PairFailure& failure) {
  if (!failure.pairError) return "配对失败：" + failure.detail;
  const PairError& e = *failure.pairError;
  switch (e.kind) {
    case PairError::Kind::locked:
      return "配对已锁定，请 " + std::to_string(e.retryAfter) + " 秒后重试。";
    case PairError::Kind::invalidCode:
      return "配对码错误，请核对手机屏幕上显示的 4 位数字。";
    case PairError::Kind::http:
      return "配对失败（HTTP " + std::to_string(e.status) + "）。";
    case PairError::Kind::transport:
      return "无法连接设备：" + e.message;
  }
  return "配对失败：" + failure.detail;
}

std::string iso8601UtcSeconds(std::chrono::system_clock::time_point t) {
  const auto secs = std::chrono::floor<std::chrono::seconds>(t).time_since_epoch().count();
  const std::time_t tt = static_cast<std::time_t>(secs);
  std::tm tm{};
  if (!gmtime_r(&tt, &tm)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::string localHostName() {
  char name[HOST_NAME_MAX + 1] = {0};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

Result<ClockConfig, PairFailure> pairAndStore(const ClockAPI& api, const std::string& host, std::int64_t httpPort,
                                              std::int64_t wsPort, const std::string& deviceName,
                                              const std::string& code) {
  const std::string client = localHostName();
  if (!isValidUtf8(code) || !isValidUtf8(client))
    return fail(PairFailure{std::nullopt, "the code or this computer's name is not UTF-8 text"});
  PairResult result = api.pair(host, httpPort, code, client);
  if (!result) return fail(PairFailure{result.error(), {}});

  ClockConfig cfg{deviceName, host,          wsPort,
                  httpPort,   result->token, iso8601UtcSeconds(std::chrono::system_clock::now())};
  if (auto saved = ConfigStore::save(cfg); !saved) {
    const FileProblem& p = saved.error();
    return fail(PairFailure{
        std::nullopt, "could not save the pairing (" + p.detail + "): " + std::make_error_code(p.kind).message()});
  }
  return cfg;
}

ConnState probeState(const ClockAPI& api, const std::optional<ClockConfig>& cfg) {
  if (!cfg || cfg->token.empty()) return ConnState::unpaired();
  const std::string name = cfg->deviceName;
  return api.probe(cfg->host, cfg->httpPort, cfg->token) ? ConnState::connected(name) : ConnState::offline();
}

RefreshOutcome loadAndProbe(const ClockAPI& api) {
  RefreshOutcome out;
  out.cfg = ConfigStore::load();
  out.conn = probeState(api, out.cfg);
  return out;
}

}  // namespace gt

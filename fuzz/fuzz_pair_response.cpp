// The answer to a pairing request: status and body are whatever sat at the phone's address sent.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>

#include "core/pairing/clock_api.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  static const std::int64_t kStatuses[] = {200, 403, 429, 201, 204, 301, 302, 400, 401, 404, 500, 503, 999, 100};
  std::int64_t status = in.ConsumeBool() ? in.PickValueInArray(kStatuses) : in.ConsumeIntegral<std::int64_t>();
  std::string body = in.ConsumeRemainingBytesAsString();

  gt::PairResult r = gt::mapPairResponse(status, body);
  if (auto* ok = std::get_if<gt::PairSuccess>(&r)) {
    GT_FUZZ_CHECK(status == 200 && !ok->token.empty());
    return 0;
  }
  const gt::PairError& e = std::get<gt::PairError>(r);
  switch (e.kind) {
    case gt::PairError::Kind::locked:
      GT_FUZZ_CHECK(status == 429);
      break;
    case gt::PairError::Kind::invalidCode:
      GT_FUZZ_CHECK(status == 403);
      break;
    case gt::PairError::Kind::http:
      GT_FUZZ_CHECK(e.status == status && status != 403 && status != 429);
      // The body is shown to the user, so it must be text.
      (void)nlohmann::json(e.body).dump();
      break;
    case gt::PairError::Kind::transport:
      GT_FUZZ_CHECK(false);  // a complete answer is never a transport failure
  }
  return 0;
}

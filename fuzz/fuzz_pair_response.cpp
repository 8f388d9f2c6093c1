// The answer to a pairing request: status and body are whatever sat at the phone's address sent.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>

#include "core/pairing/phone_client.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  static const std::int64_t kStatuses[] = {200, 403, 429, 201, 204, 301, 302, 400, 401, 404, 500, 503, 999, 100};
  std::int64_t status = in.ConsumeBool() ? in.PickValueInArray(kStatuses) : in.ConsumeIntegral<std::int64_t>();
  std::string body = in.ConsumeRemainingBytesAsString();

  gt::PairResult r = gt::mapPairResponse(status, body);
  if (r) {
    GT_FUZZ_CHECK(status == 200 && !r->token.empty());
    return 0;
  }
  // Only 429 is locked, only 403 a wrong code; a complete answer is never a transport failure.
  const gt::PairError& e = r.error();
  GT_FUZZ_CHECK((e.kind == gt::PairError::Kind::locked) == (status == 429));
  GT_FUZZ_CHECK((e.kind == gt::PairError::Kind::invalidCode) == (status == 403));
  GT_FUZZ_CHECK(e.kind != gt::PairError::Kind::transport);
  if (e.kind == gt::PairError::Kind::http) {
    GT_FUZZ_CHECK(e.status == status);
    (void)nlohmann::json(e.body).dump();  // the body is shown to the user, so it must be text
  }
  return 0;
}

// The answer to a pairing request: status and body are whatever sat at the phone's address sent.
#include <fuzzer/FuzzedDataProvider.h>

#include "core/common/utf8.h"
#include "core/pairing/phone_client.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  static const std::int64_t kStatuses[] = {200, 403, 429, 201, 204, 301, 302, 400, 401, 404, 500, 503, 999, 100};
  const std::int64_t status = in.ConsumeBool() ? in.PickValueInArray(kStatuses) : in.ConsumeIntegral<std::int64_t>();
  const gt::PairResult r = gt::mapPairResponse(status, in.ConsumeRemainingBytesAsString());
  // Success only from a 200 with a token; only 429 is locked, only 403 a wrong code; a complete answer is never a
  // transport failure, and an HTTP failure keeps the status, with text the user can be shown.
  assert(!r || (status == 200 && !r->token.empty()));
  if (r) return 0;
  const gt::PairError& e = r.error();
  assert((e.kind == gt::PairError::Kind::locked) == (status == 429));
  assert((e.kind == gt::PairError::Kind::invalidCode) == (status == 403));
  assert(e.kind != gt::PairError::Kind::transport);
  assert(e.kind != gt::PairError::Kind::http || (e.status == status && gt::isValidUtf8(e.body)));
  return 0;
}

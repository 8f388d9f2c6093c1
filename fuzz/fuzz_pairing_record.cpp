// The pairing file may have been edited by hand or by another program.

#include "core/pairing/pairing_record.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto cfg = gt::decodeClockConfig(text);
  if (!cfg) return 0;
  // Whatever was accepted is saved back unchanged: encoding must not throw or lose a field.
  std::string saved = gt::encodeClockConfig(*cfg);
  auto again = gt::decodeClockConfig(saved);
  assert(again && *again == *cfg);
  return 0;
}

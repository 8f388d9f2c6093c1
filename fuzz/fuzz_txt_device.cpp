// TXT records come from any host on the LAN.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/discovery/discovered_device.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::string instance = in.ConsumeRandomLengthString(64);
  std::string host = in.ConsumeRandomLengthString(64);
  auto port = in.ConsumeIntegral<std::int64_t>();
  std::vector<std::string> raw;
  while (in.remaining_bytes() > 0 && raw.size() < 64) raw.push_back(in.ConsumeRandomLengthString(300));

  std::vector<std::string> entries = gt::txtEntries(raw);
  GT_FUZZ_CHECK(entries.size() <= 4);
  const char* order[] = {"ws=", "http=", "v=", "device="};
  std::size_t k = 0;
  for (const std::string& e : entries) {
    while (k < 4 && e.rfind(order[k], 0) != 0) ++k;
    GT_FUZZ_CHECK(k < 4);  // only the four keys, each once, in their order
    ++k;
  }
  gt::DiscoveredDevice d = gt::parseDevice(instance, host, port, entries);
  GT_FUZZ_CHECK(d.name == instance && d.host == host && d.id() == instance);
  for (const std::string& e : entries) {
    if (e.rfind("device=", 0) == 0) GT_FUZZ_CHECK(d.device == e.substr(7));
    if (e.rfind("v=", 0) == 0) GT_FUZZ_CHECK(d.version == e.substr(2));
  }
  // Feeding the raw strings straight in must be just as safe.
  (void)gt::parseDevice(instance, host, port, raw);
  return 0;
}

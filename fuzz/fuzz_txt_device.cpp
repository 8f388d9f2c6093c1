// TXT records come from any host on the LAN.
#include <fuzzer/FuzzedDataProvider.h>

#include "core/discovery/discovered_device.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string instance = in.ConsumeRandomLengthString(64), host = in.ConsumeRandomLengthString(64);
  const auto port = in.ConsumeIntegral<std::int64_t>();
  std::vector<std::string> raw;
  while (in.remaining_bytes() > 0 && raw.size() < 64) raw.push_back(in.ConsumeRandomLengthString(300));

  // Only the four keys, each once, in their order.
  const std::vector<std::string> entries = gt::txtEntries(raw);
  const char* order[] = {"ws=", "http=", "v=", "device="};
  std::size_t k = 0;
  for (const std::string& e : entries) {
    while (k < 4 && !e.starts_with(order[k])) ++k;
    assert(k++ < 4);
  }
  const gt::DiscoveredDevice d = gt::parseDevice(instance, host, port, entries);
  assert(d.name == instance && d.host == host && d.id() == instance);
  for (const std::string& e : entries) {
    assert(!e.starts_with("device=") || d.device == e.substr(7));
    assert(!e.starts_with("v=") || d.version == e.substr(2));
  }
  (void)gt::parseDevice(instance, host, port, raw);  // the raw strings straight in: just as safe
  return 0;
}

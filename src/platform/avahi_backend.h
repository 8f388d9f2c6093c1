#pragma once
#include <memory>

#include "core/discovery/dns_sd_backend.h"

namespace gt {
// DNS-SD through the Avahi daemon (libavahi-client), IPv4 only. Each browse and each resolution has its
// own client connection and poll thread, living only for that call.
std::shared_ptr<DnsSdBackend> makeAvahiBackend();
}  // namespace gt

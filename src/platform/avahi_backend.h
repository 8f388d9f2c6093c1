#pragma once
#include <memory>

namespace gt {
class DnsSdBackend;
// DNS-SD through the Avahi daemon (libavahi-client).
std::shared_ptr<DnsSdBackend> makeAvahiBackend();
}  // namespace gt

#include "core/discovery/discovery.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <utility>

namespace gt {
namespace {

using Clock = std::chrono::steady_clock;

// NFC form of a name as UTF-8; UTF-8 byte order is code point order, so comparing these bytes compares
// code points. Ill-formed bytes become U+FFFD, which keeps the order total.
std::string nfcKey(const std::string& name) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return name;
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(name);
  icu::UnicodeString normalized = nfc->normalize(text, status);
  if (U_FAILURE(status)) return name;
  std::string key;
  normalized.toUTF8String(key);
  return key;
}

// Closes the socket on every path out of a connection attempt.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

enum class ConnectOutcome { connected, failed, timedOut };

ConnectOutcome connectBy(int fd, const sockaddr* addr, socklen_t len, Clock::time_point deadline) {
  if (::connect(fd, addr, len) == 0) return ConnectOutcome::connected;
  if (errno != EINPROGRESS && errno != EINTR) return ConnectOutcome::failed;
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ConnectOutcome::timedOut;
    pollfd p{fd, POLLOUT, 0};
    int n = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 60'000)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ConnectOutcome::failed;
    if (n == 0) continue;  // the loop head decides whether time is up
    int err = 0;
    socklen_t errLen = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0 || err != 0) return ConnectOutcome::failed;
    return ConnectOutcome::connected;
  }
}

// The peer of an established connection as (host text, port); a host text is cut at its first "%".
std::optional<std::pair<std::string, std::int64_t>> peerOf(int fd) {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return std::nullopt;
  char host[NI_MAXHOST];
  char port[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&peer), len, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return std::nullopt;
  }
  std::string text = host;
  text = text.substr(0, text.find('%'));
  return std::make_pair(text, static_cast<std::int64_t>(std::stoi(port)));
}

}  // namespace

Discovery::Discovery(std::shared_ptr<DnsSdBackend> backend) : backend_(std::move(backend)) {}

bool Discovery::nameLess(const std::string& a, const std::string& b) {
  std::string ka = nfcKey(a);
  std::string kb = nfcKey(b);
  if (ka != kb) return ka < kb;
  return a < b;  // distinct spellings of one canonical name: keep a fixed order
}

DeviceSearch Discovery::browse(std::chrono::milliseconds window) {
  auto services = collectServices(window);
  if (!services) return fail(services.error());
  std::vector<DiscoveredDevice> devices;
  for (const Service& service : *services) {
    if (auto peer = resolve(service.endpoint, kResolveTimeout)) {
      devices.push_back(parseDevice(service.name, peer->host, peer->port, service.txt));
    }
  }
  return devices;
}

Result<std::vector<Discovery::Service>, Problem<BrowseProblem>> Discovery::collectServices(
    std::chrono::milliseconds window) {
  if (!backend_) return fail(BrowseProblem::failed, "No DNS-SD service is available to search the local network.");
  struct Box {
    std::mutex lock;
    std::condition_variable wake;
    std::map<std::string, Service> services;
    bool resumed = false;
  };
  auto box = std::make_shared<Box>();
  const Clock::time_point deadline = Clock::now() + std::max(window, std::chrono::milliseconds(0));

  // Each call carries the complete current set; entries are merged into what was seen, never removed.
  auto handler = [box](const std::vector<BrowseResult>& results) {
    std::lock_guard<std::mutex> guard(box->lock);
    if (box->resumed) return;
    for (const BrowseResult& result : results) {
      const std::string& name = result.endpoint.name;
      std::vector<std::string> txt;
      if (auto it = box->services.find(name); it != box->services.end()) txt = it->second.txt;
      if (result.txt) {
        std::vector<std::string> fresh = txtEntries(*result.txt);
        if (!fresh.empty()) txt = std::move(fresh);
      }
      box->services[name] = Service{name, result.endpoint, std::move(txt)};
    }
  };

  std::unique_ptr<DnsSdBrowse> session = backend_->startBrowse(kServiceType, kDomain, handler);
  {
    // The window runs to its end unless the browser reports a problem: then nothing more can arrive, and
    // the user hears at once (no daemon, say) instead of after the whole window. The backend reports
    // problems from its own thread without waking us, so the wait looks at it in short steps.
    std::unique_lock<std::mutex> lock(box->lock);
    while (Clock::now() < deadline && !(session && session->problem()))
      box->wake.wait_until(lock, std::min(deadline, Clock::now() + kProblemCheckInterval), [] { return false; });
  }
  if (session) {
    session->stop();
    if (auto problem = session->problem()) return fail(std::move(*problem));
  }

  std::vector<Service> list;
  {
    std::lock_guard<std::mutex> guard(box->lock);
    box->resumed = true;
    list.reserve(box->services.size());
    for (auto& [name, service] : box->services) list.push_back(service);
  }
  std::sort(list.begin(), list.end(), [](const Service& a, const Service& b) { return nameLess(a.name, b.name); });
  return list;
}

std::optional<Discovery::Peer> Discovery::resolve(const ServiceEndpoint& endpoint, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  std::vector<AddressCandidate> candidates = backend_->resolve(endpoint, deadline);
  for (const AddressCandidate& candidate : candidates) {
    if (Clock::now() >= deadline) break;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(candidate.port);
    if (::getaddrinfo(candidate.address.c_str(), port.c_str(), &hints, &found) != 0 || !found) continue;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> info(found, &::freeaddrinfo);

    Socket sock(::socket(info->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) continue;
    ConnectOutcome outcome = connectBy(sock.get(), info->ai_addr, info->ai_addrlen, deadline);
    if (outcome == ConnectOutcome::timedOut) return std::nullopt;
    if (outcome == ConnectOutcome::failed) continue;

    // The first connection that comes up decides: an IPv6 peer is not used, and no other address is tried.
    auto peer = peerOf(sock.get());
    if (!peer || peer->first.find(':') != std::string::npos) return std::nullopt;
    return Peer{peer->first, peer->second};
  }
  return std::nullopt;
}

}  // namespace gt

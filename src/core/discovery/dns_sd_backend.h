#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/common/result.h"

namespace gt {

// Where a DNS-SD instance was seen: enough for the backend to look it up again later. The interface and
// protocol are the backend's own numbers (-1 = any); Discovery only passes them back.
struct ServiceEndpoint {
  std::string name;  // the instance name
  std::string type;
  std::string domain;
  int interfaceIndex = -1;
  int protocol = -1;
  bool operator==(const ServiceEndpoint&) const = default;
};

// One entry of a browser's current result set.
struct BrowseResult {
  ServiceEndpoint endpoint;
  // The raw TXT strings ("key=value", "key=", "key", arbitrary bytes) when a TXT record is known.
  std::optional<std::vector<std::string>> txt;
};

// A numeric address (IPv4 dotted decimal, or IPv6 possibly with "%interface") and port to connect to.
struct AddressCandidate {
  std::string address;
  std::uint16_t port = 0;
  bool operator==(const AddressCandidate&) const = default;
};

// What kept a browse from seeing the network, for a reader who is told in their own words (the panel
// in Chinese, the terminal in English); the problem's detail is the English text.
enum class BrowseProblem {
  noDaemon,       // the DNS-SD daemon (avahi-daemon) is not running
  daemonStopped,  // it stopped during the browse
  failed,         // anything else; the detail says what
};

// A running browse. After stop() returns the handler is never called again; the destructor stops too.
class DnsSdBrowse {
 public:
  virtual ~DnsSdBrowse() = default;
  virtual void stop() = 0;
  // Why the browse cannot see the network (e.g. "avahi-daemon is not running"), once it knows.
  virtual std::optional<Problem<BrowseProblem>> problem() const = 0;
};

// The DNS-SD machinery Discovery runs on (Avahi on Linux, fakes in tests).
class DnsSdBackend {
 public:
  // Called, possibly on a backend thread, with the complete current result set after every change.
  using ResultsHandler = std::function<void(const std::vector<BrowseResult>&)>;

  virtual ~DnsSdBackend() = default;

  // Starts browsing for `type` in `domain`. Never returns null: a browse that cannot run says why in
  // problem() and delivers nothing.
  virtual std::unique_ptr<DnsSdBrowse> startBrowse(const std::string& type, const std::string& domain,
                                                   ResultsHandler handler) = 0;

  // Turns an endpoint into addresses to connect to, in preference order; returns by `deadline` at the
  // latest, with whatever it has (possibly nothing).
  virtual std::vector<AddressCandidate> resolve(const ServiceEndpoint& endpoint,
                                                std::chrono::steady_clock::time_point deadline) = 0;
};

}  // namespace gt

#include "platform/avahi_backend.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <net/if.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <tuple>

namespace gt {
namespace {

BrowseProblem problemKindOf(int error) {
  if (error == AVAHI_ERR_NO_DAEMON) return BrowseProblem::noDaemon;
  if (error == AVAHI_ERR_DISCONNECTED) return BrowseProblem::daemonStopped;
  return BrowseProblem::failed;
}

std::string clientProblem(int error) {
  if (error == AVAHI_ERR_NO_DAEMON) {
    return "avahi-daemon is not running, so no phone can be found on the local network; start it with "
           "\"sudo systemctl start avahi-daemon\" and search again.";
  }
  if (error == AVAHI_ERR_DISCONNECTED) {
    return "avahi-daemon stopped during the search; start it again with \"sudo systemctl start avahi-daemon\" "
           "and search again.";
  }
  return std::string("Could not search the local network through avahi-daemon (") + avahi_strerror(error) +
         "); check that avahi-daemon is running and search again.";
}

// Owns a threaded poll and a client on it; the poll thread is stopped before anything is freed, so no
// callback can run during or after tear-down.
class AvahiSession {
 public:
  AvahiSession() = default;
  AvahiSession(const AvahiSession&) = delete;
  AvahiSession& operator=(const AvahiSession&) = delete;
  ~AvahiSession() { close(); }

  // Returns 0 or an Avahi error code.
  int open(AvahiClientCallback onState, void* userdata) {
    poll_ = avahi_threaded_poll_new();
    if (!poll_) return AVAHI_ERR_NO_MEMORY;
    int error = 0;
    client_ =
        avahi_client_new(avahi_threaded_poll_get(poll_), static_cast<AvahiClientFlags>(0), onState, userdata, &error);
    return client_ ? 0 : (error != 0 ? error : AVAHI_ERR_FAILURE);
  }
  bool start() {
    started_ = avahi_threaded_poll_start(poll_) == 0;
    return started_;
  }
  void close() {
    if (started_) avahi_threaded_poll_stop(poll_);
    started_ = false;
    if (client_) avahi_client_free(client_);  // frees its browsers and resolvers too
    client_ = nullptr;
    if (poll_) avahi_threaded_poll_free(poll_);
    poll_ = nullptr;
  }
  AvahiClient* client() const { return client_; }

 private:
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  bool started_ = false;
};

std::vector<std::string> rawTxt(AvahiStringList* list) {
  std::vector<std::string> out;
  for (AvahiStringList* item = list; item; item = avahi_string_list_get_next(item)) {
    out.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(item)), avahi_string_list_get_size(item));
  }
  return out;
}

class AvahiBrowse final : public DnsSdBrowse {
 public:
  AvahiBrowse(const std::string& type, const std::string& domain, DnsSdBackend::ResultsHandler handler)
      : handler_(std::move(handler)) {
    if (int error = session_.open(&AvahiBrowse::onClientState, this); error != 0) {
      setProblem(error);
      return;
    }
    browser_ =
        avahi_service_browser_new(session_.client(), AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, type.c_str(), domain.c_str(),
                                  static_cast<AvahiLookupFlags>(0), &AvahiBrowse::onBrowse, this);
    if (!browser_) {
      setProblem(avahi_client_errno(session_.client()));
      return;
    }
    if (!session_.start()) setProblem(BrowseProblem::failed, "Could not start the local network search; try again.");
  }
  ~AvahiBrowse() override { stop(); }

  void stop() override { session_.close(); }

  std::optional<Problem<BrowseProblem>> problem() const override {
    std::lock_guard<std::mutex> guard(problemLock_);
    return problem_;
  }

 private:
  using Key = std::tuple<int, int, std::string, std::string, std::string>;
  struct Entry {
    BrowseResult result;
    AvahiServiceResolver* txtResolver = nullptr;
  };

  // The first problem is the cause; what follows from it is not reported.
  void setProblem(BrowseProblem kind, std::string text) {
    std::lock_guard<std::mutex> guard(problemLock_);
    if (!problem_) problem_ = {kind, std::move(text)};
  }
  void setProblem(int avahiError) { setProblem(problemKindOf(avahiError), clientProblem(avahiError)); }

  void publish() {
    std::vector<BrowseResult> results;
    results.reserve(entries_.size());
    for (const auto& [key, entry] : entries_) results.push_back(entry.result);
    handler_(results);
  }

  static void onClientState(AvahiClient* client, AvahiClientState state, void* userdata) {
    // May run inside avahi_client_new, before the session has stored the client: use the argument.
    if (state == AVAHI_CLIENT_FAILURE) {
      static_cast<AvahiBrowse*>(userdata)->setProblem(avahi_client_errno(client));
    }
  }

  static void onBrowse(AvahiServiceBrowser* browser, AvahiIfIndex iface, AvahiProtocol proto, AvahiBrowserEvent event,
                       const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* userdata) {
    auto* self = static_cast<AvahiBrowse*>(userdata);
    if (event == AVAHI_BROWSER_FAILURE) {
      self->setProblem(avahi_client_errno(avahi_service_browser_get_client(browser)));
      return;
    }
    if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE) return;
    if (!name || !type || !domain) return;
    Key key{iface, proto, name, type, domain};
    if (event == AVAHI_BROWSER_REMOVE) {
      auto it = self->entries_.find(key);
      if (it == self->entries_.end()) return;
      if (it->second.txtResolver) avahi_service_resolver_free(it->second.txtResolver);
      self->entries_.erase(it);
      self->publish();
      return;
    }
    if (self->entries_.count(key)) return;
    Entry entry;
    entry.result.endpoint = ServiceEndpoint{name, type, domain, iface, proto};
    // The browser alone does not carry TXT data: a resolver fetches it, and stays open so later changes
    // of the record arrive as well. It also looks up the address, which leaves the daemon's cache warm for
    // the connection that follows the window.
    entry.txtResolver =
        avahi_service_resolver_new(avahi_service_browser_get_client(browser), iface, proto, name, type, domain,
                                   AVAHI_PROTO_INET, static_cast<AvahiLookupFlags>(0), &AvahiBrowse::onTxt, self);
    self->entries_.emplace(std::move(key), std::move(entry));
    self->publish();
  }

  static void onTxt(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event, const char*,
                    const char*, const char*, const char*, const AvahiAddress*, uint16_t, AvahiStringList* txt,
                    AvahiLookupResultFlags, void* userdata) {
    auto* self = static_cast<AvahiBrowse*>(userdata);
    for (auto& [key, entry] : self->entries_) {
      if (entry.txtResolver != resolver) continue;
      if (event == AVAHI_RESOLVER_FOUND) {
        entry.result.txt = rawTxt(txt);
        self->publish();
      } else {
        // Timed out or failed: the instance stays listed without TXT data.
        avahi_service_resolver_free(resolver);
        entry.txtResolver = nullptr;
      }
      return;
    }
  }

  DnsSdBackend::ResultsHandler handler_;
  AvahiSession session_;
  AvahiServiceBrowser* browser_ = nullptr;
  std::map<Key, Entry> entries_;  // touched only on the poll thread while it runs
  mutable std::mutex problemLock_;
  std::optional<Problem<BrowseProblem>> problem_;
};

class AvahiBackend final : public DnsSdBackend {
 public:
  std::unique_ptr<DnsSdBrowse> startBrowse(const std::string& type, const std::string& domain,
                                           ResultsHandler handler) override {
    return std::make_unique<AvahiBrowse>(type, domain, std::move(handler));
  }

  std::vector<AddressCandidate> resolve(const ServiceEndpoint& endpoint,
                                        std::chrono::steady_clock::time_point deadline) override {
    Pending pending;
    AvahiSession session;
    if (session.open(&AvahiBackend::onClientState, &pending) != 0) return {};
    AvahiServiceResolver* resolver =
        avahi_service_resolver_new(session.client(), endpoint.interfaceIndex, endpoint.protocol, endpoint.name.c_str(),
                                   endpoint.type.c_str(), endpoint.domain.c_str(), AVAHI_PROTO_INET,
                                   static_cast<AvahiLookupFlags>(0), &AvahiBackend::onResolved, &pending);
    if (!resolver || !session.start()) return {};
    {
      std::unique_lock<std::mutex> lock(pending.lock);
      pending.wake.wait_until(lock, deadline, [&] { return pending.done; });
    }
    session.close();  // no callback runs after this
    return pending.candidates;
  }

 private:
  struct Pending {
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    std::vector<AddressCandidate> candidates;
  };

  static void finish(Pending* pending, std::vector<AddressCandidate> candidates) {
    std::lock_guard<std::mutex> guard(pending->lock);
    if (pending->done) return;
    pending->done = true;
    pending->candidates = std::move(candidates);
    pending->wake.notify_all();
  }

  static void onClientState(AvahiClient*, AvahiClientState state, void* userdata) {
    if (state == AVAHI_CLIENT_FAILURE) finish(static_cast<Pending*>(userdata), {});
  }

  static void onResolved(AvahiServiceResolver*, AvahiIfIndex iface, AvahiProtocol, AvahiResolverEvent event,
                         const char*, const char*, const char*, const char*, const AvahiAddress* address, uint16_t port,
                         AvahiStringList*, AvahiLookupResultFlags, void* userdata) {
    auto* pending = static_cast<Pending*>(userdata);
    if (event != AVAHI_RESOLVER_FOUND || !address) {
      finish(pending, {});
      return;
    }
    char text[AVAHI_ADDRESS_STR_MAX];
    if (!avahi_address_snprint(text, sizeof text, address)) {
      finish(pending, {});
      return;
    }
    std::string host = text;
    if (address->proto == AVAHI_PROTO_INET6 && host.rfind("fe80:", 0) == 0 && iface > 0) {
      char name[IF_NAMESIZE];
      if (if_indextoname(static_cast<unsigned>(iface), name)) host += std::string("%") + name;
    }
    finish(pending, {AddressCandidate{host, port}});
  }
};

}  // namespace

std::shared_ptr<DnsSdBackend> makeAvahiBackend() { return std::make_shared<AvahiBackend>(); }

}  // namespace gt

#include "core/pairing/phone_client.h"

#include <curl/curl.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "core/common/utf8.h"

namespace gt {

namespace {

// Once per process; libcurl's own calls then fail by themselves if it could not be set up.
void ensureCurlGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct CurlFree {
  void operator()(char* p) const { curl_free(p); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using Url = std::unique_ptr<CURLU, UrlDeleter>;

std::string urlPart(CURLU* url, CURLUPart part) {
  char* raw = nullptr;
  if (curl_url_get(url, part, &raw, 0) != CURLUE_OK || raw == nullptr) return {};
  std::unique_ptr<char, CurlFree> owned(raw);
  return raw;
}

// Whether `endpointString` forms a URL naming exactly this host, port and path. The second test keeps
// characters such as '/', '?', '#' or '@' in a host from steering the request elsewhere.
bool isValidEndpoint(const std::string& host, std::int64_t port, std::string_view path) {
  Url url(curl_url());
  if (!url) return false;
  const std::string text = ClockAPI::endpointString(host, port, path);
  if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return false;
  const std::string expectedHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  std::string gotHost = urlPart(url.get(), CURLUPART_HOST);
  if (std::string zone = urlPart(url.get(), CURLUPART_ZONEID); !zone.empty()) {
    gotHost.insert(gotHost.size() - 1, "%" + zone);
  }
  if (gotHost != expectedHost || urlPart(url.get(), CURLUPART_PORT) != std::to_string(port) ||
      urlPart(url.get(), CURLUPART_PATH) != path || !urlPart(url.get(), CURLUPART_USER).empty())
    return false;
  return true;
}

// Collects the response body up to ClockAPI::kMaxResponseBytes; one byte more aborts the transfer.
struct BodySink {
  std::string data;
  bool overflow = false;

  static size_t write(char* ptr, size_t size, size_t nmemb, void* self) {
    auto* sink = static_cast<BodySink*>(self);
    const size_t n = size * nmemb;
    if (sink->data.size() + n > ClockAPI::kMaxResponseBytes) {
      sink->overflow = true;
      return 0;  // CURLE_WRITE_ERROR
    }
    sink->data.append(ptr, n);
    return n;
  }
};

struct Exchange {
  CURLcode code = CURLE_OK;
  std::string error;  // transport text when code != CURLE_OK
  long status = 0;
  std::string body;
  bool tooLarge = false;
};

// One request on its own easy handle: direct to the device (no proxy, whatever the environment
// says), plain HTTP only, no redirects followed, bounded in time and size.
Exchange perform(const std::string& url, std::chrono::milliseconds timeout, const std::string* postBody) {
  ensureCurlGlobalInit();
  Exchange ex;
  Easy h(curl_easy_init());
  if (!h) {
    ex.code = CURLE_OUT_OF_MEMORY;
    ex.error = curl_easy_strerror(ex.code);
    return ex;
  }
  char errbuf[CURL_ERROR_SIZE] = {0};
  BodySink sink;
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  CURL* e = h.get();
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_PROXY, "");
  curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(ClockAPI::kMaxResponseBytes));
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &BodySink::write);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &sink);
  if (postBody) {
    headers.reset(curl_slist_append(nullptr, "Content-Type: application/json; charset=utf-8"));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, postBody->c_str());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(postBody->size()));
  }
  ex.code = curl_easy_perform(e);
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &ex.status);
  ex.body = std::move(sink.data);
  ex.tooLarge = sink.overflow || ex.code == CURLE_FILESIZE_EXCEEDED;
  if (ex.code != CURLE_OK) ex.error = errbuf[0] != '\0' ? errbuf : curl_easy_strerror(ex.code);
  return ex;
}

bool isNonHttpFailure(CURLcode code) {
  // libcurl refuses a reply without a status line (HTTP/0.9) as an unsupported protocol; the URL's
  // own scheme is always http, so that code cannot mean anything else here.
  return code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_WEIRD_SERVER_REPLY;
}

std::int64_t retryAfterFrom(const std::string& body) {
  auto doc = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) return 0;
  auto it = doc.find("retry_after");
  if (it == doc.end()) return 0;
  if (it->is_number_unsigned()) {
    auto v = it->get<std::uint64_t>();
    return v > static_cast<std::uint64_t>(INT64_MAX) ? 0 : static_cast<std::int64_t>(v);
  }
  if (it->is_number_integer()) return it->get<std::int64_t>();
  if (it->is_number_float()) {
    // 30.0 is integral; 30.5 and values beyond the integer range are not.
    double d = it->get<double>();
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2e18 && d <= 9.2e18) return static_cast<std::int64_t>(d);
  }
  return 0;
}

}  // namespace

PairResult mapPairResponse(std::int64_t status, std::string_view bodyBytes) {
  const std::string body(bodyBytes);
  const std::string text = isValidUtf8(body) ? body : std::string();
  if (status == 429) return fail(PairError::locked(retryAfterFrom(body)));
  if (status == 403) return fail(PairError::invalidCode());
  if (status == 200) {
    auto doc = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (doc.is_object()) {
      auto token = doc.find("token");
      if (token != doc.end() && token->is_string() && !token->get_ref<const std::string&>().empty()) {
        auto device = doc.find("device");
        std::string deviceText = device != doc.end() && device->is_string() ? device->get<std::string>() : "";
        return PairSuccess{token->get<std::string>(), std::move(deviceText)};
      }
    }
    return fail(PairError::http(200, "missing token: " + text));
  }
  return fail(PairError::http(status, text));
}

ClockAPI::ClockAPI() : ClockAPI(Timeouts{}) {}

ClockAPI::ClockAPI(Timeouts timeouts) : timeouts_(timeouts) {}

std::string ClockAPI::endpointString(std::string_view host, std::int64_t port, std::string_view path) {
  std::string text = "http://";
  if (host.find(':') != std::string_view::npos) {
    text += '[';
    text += host;
    text += ']';
  } else {
    text += host;
  }
  text += ':';
  text += std::to_string(port);
  text += path;
  return text;
}

bool ClockAPI::probe(const std::string& host, std::int64_t httpPort, const std::string& token) const {
  if (!isValidEndpoint(host, httpPort, "/api/agent")) return false;
  ensureCurlGlobalInit();
  std::unique_ptr<char, CurlFree> escaped(curl_easy_escape(nullptr, token.data(), static_cast<int>(token.size())));
  if (!escaped) return false;
  // The text, not the parsed URL handle, goes to libcurl: the URL API would lower-case the escapes,
  // and upper-case is the usual form a device expects.
  const std::string text = endpointString(host, httpPort, "/api/agent") + "?token=" + escaped.get();
  Exchange ex = perform(text, timeouts_.probe, nullptr);
  return ex.code == CURLE_OK && ex.status == 200;
}

PairResult ClockAPI::pair(const std::string& host, std::int64_t httpPort, const std::string& code,
                          const std::string& client) const {
  if (!isValidEndpoint(host, httpPort, "/api/pair"))
    return fail(PairError::transport("invalid device address " + host + ":" + std::to_string(httpPort)));

  // Both members stay JSON strings: a code such as "0042" must keep its leading zeros.
  const std::string body =
      nlohmann::json{{"code", code}, {"client", client}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);

  Exchange ex = perform(endpointString(host, httpPort, "/api/pair"), timeouts_.pair, &body);
  if (ex.tooLarge)
    return fail(
        PairError::transport("the device sent a response larger than " + std::to_string(kMaxResponseBytes) + " bytes"));
  if (ex.code != CURLE_OK) {
    return fail(PairError::transport(isNonHttpFailure(ex.code) ? "non-HTTP response" : ex.error));
  }
  if (ex.status <= 0) return fail(PairError::transport("non-HTTP response"));

  return mapPairResponse(ex.status, ex.body);
}

}  // namespace gt

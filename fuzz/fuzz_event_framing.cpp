// A real listener on a private socket, fed the input as one connection's byte stream cut into
// arbitrary writes. Every line that decodes on its own must arrive, once, in order.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "core/events/agent_event.h"
#include "core/events/event_listener.h"
#include "fuzz_check.h"

namespace {

struct Sink {
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<gt::AgentEvent> events;
};

Sink& sink() {
  static Sink s;
  return s;
}

gt::EventListener& listener() {
  static gt::EventListener* l = [] {
    char dir[] = "/tmp/gt-fuzz-framing-XXXXXX";
    GT_FUZZ_CHECK(::mkdtemp(dir) != nullptr);
    auto* made = new gt::EventListener(std::string(dir) + "/run/events.sock");
    made->start([](gt::AgentEvent ev) {
      std::lock_guard<std::mutex> g(sink().lock);
      sink().events.push_back(std::move(ev));
      sink().arrived.notify_all();
    });
    GT_FUZZ_CHECK(made->isRunning());
    std::atexit([] {
      std::filesystem::path dir = std::filesystem::path(listener().socketPath()).parent_path().parent_path();
      listener().stop();
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    });
    return made;
  }();
  return *l;
}

// Threads of this process: readers are detached and end just after their client closes.
int threadCount() {
  int n = 0;
  for (auto& e : std::filesystem::directory_iterator("/proc/self/task")) n += e.is_directory() ? 1 : 0;
  return n;
}

bool writeAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::int64_t serial = 0;
  gt::EventListener& l = listener();
  FuzzedDataProvider in(data, size);
  std::vector<std::size_t> cuts;
  for (int i = 0, n = in.ConsumeIntegralInRange(0, 16); i < n; ++i) cuts.push_back(in.ConsumeIntegralInRange(1, 64));
  std::string stream = in.ConsumeRemainingBytesAsString();

  // The end marker closes any unterminated line the input left and tells when the reader is done.
  gt::AgentEvent marker{"\x01end", "fuzz", "s", "t", "m", "p", ++serial};
  stream += '\n';
  stream += gt::encodeAgentEvent(marker);
  stream += '\n';

  std::vector<gt::AgentEvent> expected;
  for (std::size_t start = 0, lf; (lf = stream.find('\n', start)) != std::string::npos; start = lf + 1) {
    if (auto ev = gt::decodeAgentEvent(std::string_view(stream).substr(start, lf - start)))
      expected.push_back(std::move(*ev));
  }

  const int threadsBefore = threadCount();
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  GT_FUZZ_CHECK(fd >= 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, l.socketPath().c_str(), sizeof addr.sun_path - 1);
  GT_FUZZ_CHECK(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
  std::size_t at = 0, k = 0;
  while (at < stream.size()) {
    std::size_t n = cuts.empty() ? stream.size() - at : std::min(cuts[k++ % cuts.size()], stream.size() - at);
    GT_FUZZ_CHECK(writeAll(fd, stream.data() + at, n));
    at += n;
  }
  ::close(fd);

  std::vector<gt::AgentEvent> got;
  {
    std::unique_lock<std::mutex> g(sink().lock);
    bool done = sink().arrived.wait_for(g, std::chrono::seconds(5),
                                        [&] { return !sink().events.empty() && sink().events.back() == marker; });
    GT_FUZZ_CHECK(done);
    got.swap(sink().events);
  }
  GT_FUZZ_CHECK(got == expected);
  // The leak check after each input must not run while this input's reader still holds its buffer.
  for (int i = 0; i < 50000 && threadCount() > threadsBefore; ++i) ::usleep(100);
  GT_FUZZ_CHECK(threadCount() <= threadsBefore);
  return 0;
}

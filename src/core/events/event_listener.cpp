#include "core/events/event_listener.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace gt {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStopBudget = std::chrono::seconds(2);
// A passing accept failure (a peer that gave up, descriptors or memory short for a moment) is
// retried after this pause rather than ending intake for the life of the process.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);

sockaddr_un addressFor(const std::string& path) {
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), std::min(path.size(), sizeof addr.sun_path - 1));
  return addr;
}

bool socketIsGone(int err) { return err == EBADF || err == EINVAL || err == ENOTSOCK || err == EOPNOTSUPP; }

}  // namespace

// One accepted connection. Its descriptor stays open until both its reader has left read() and, if
// stop() took it, stop() has shut it down, so a reader never reads a number that was closed and reused.
struct Connection {
  int fd;
  bool readerExited = false;  // set only after stop() took it
  bool closeOnExit = false;   // stop() gave up waiting: the reader closes it when it leaves
};

// State of one start()..stop() run; the accept thread keeps it alive as long as it needs it.
struct Run {
  int serverFD = -1;
  EventListener::Callback onEvent;
  bool acceptExited = false;
  bool closeServerOnExit = false;
};

struct EventListener::Impl : std::enable_shared_from_this<EventListener::Impl> {
  explicit Impl(std::string path) : socketPath(std::move(path)) {}

  const std::string socketPath;
  std::mutex lifecycle;  // serialises start() and stop(); never taken by background threads
  std::mutex lock;       // guards everything below; never held across a blocking call
  std::condition_variable changed;
  bool running = false;
  std::shared_ptr<Run> run;
  std::map<int, std::shared_ptr<Connection>> activeConns;

  void acceptLoop(std::shared_ptr<Run> self);
  void reader(std::shared_ptr<Connection> conn, std::shared_ptr<Run> owner);
  void readLoop(int fd, const Callback& onEvent);
  void wakeAccept() const;
};

void EventListener::Impl::acceptLoop(std::shared_ptr<Run> self) {
  for (;;) {
    int serverFD;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (!running || run != self) break;
      serverFD = self->serverFD;
    }
    int fd = ::accept4(serverFD, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      if (err == EINTR) continue;
      if (socketIsGone(err)) break;
      std::unique_lock<std::mutex> guard(lock);
      changed.wait_for(guard, kAcceptRetryPause, [&] { return !running || run != self; });
      continue;
    }
    auto conn = std::make_shared<Connection>(Connection{fd});
    {
      std::lock_guard<std::mutex> guard(lock);
      if (!running || run != self) {
        ::close(fd);  // accepted during stop(), e.g. its own wake-up connection
        break;
      }
      activeConns.emplace(fd, conn);
    }
    try {
      std::thread([impl = shared_from_this(), conn, self] { impl->reader(conn, self); }).detach();
    } catch (...) {
      // No thread to read it: drop the connection, unless stop() already took it.
      bool closeNow;
      {
        std::lock_guard<std::mutex> guard(lock);
        closeNow = activeConns.erase(fd) != 0;
        if (!closeNow) {
          conn->readerExited = true;
          closeNow = conn->closeOnExit;
        }
        changed.notify_all();
      }
      if (closeNow) ::close(fd);
    }
  }
  bool closeServer;
  {
    std::lock_guard<std::mutex> guard(lock);
    self->acceptExited = true;
    closeServer = self->closeServerOnExit;
    changed.notify_all();
  }
  if (closeServer) ::close(self->serverFD);
}

void EventListener::Impl::reader(std::shared_ptr<Connection> conn, std::shared_ptr<Run> owner) {
  readLoop(conn->fd, owner->onEvent);
  bool closeNow;
  {
    std::lock_guard<std::mutex> guard(lock);
    auto it = activeConns.find(conn->fd);
    if (it != activeConns.end() && it->second == conn) {
      activeConns.erase(it);
      closeNow = true;
    } else {
      conn->readerExited = true;
      closeNow = conn->closeOnExit;
    }
    changed.notify_all();
  }
  if (closeNow) ::close(conn->fd);
}

void EventListener::Impl::readLoop(int fd, const Callback& onEvent) {
  std::vector<char> buf(kReadChunk);
  std::string pending;
  bool skipping = false;  // inside an over-long record: drop bytes up to its line feed
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n <= 0) return;
    std::string_view chunk(buf.data(), static_cast<std::size_t>(n));
    if (skipping) {
      auto lf = chunk.find('\n');
      if (lf == std::string_view::npos) continue;
      chunk.remove_prefix(lf + 1);
      skipping = false;
    }
    std::size_t scanFrom = pending.size();
    pending.append(chunk);
    std::size_t start = 0;
    for (;;) {
      auto lf = pending.find('\n', scanFrom);
      if (lf == std::string::npos) break;
      std::string_view record(pending.data() + start, lf - start);
      start = scanFrom = lf + 1;
      if (record.size() > kMaxPendingBytes) continue;
      if (auto event = decodeAgentEvent(record)) {
        try {
          onEvent(std::move(*event));
        } catch (...) {
          // A failing handler loses this event only, not the connection or the process.
        }
      }
    }
    pending.erase(0, start);
    if (pending.size() > kMaxPendingBytes) {
      pending.clear();
      pending.shrink_to_fit();
      skipping = true;
    }
  }
}

void EventListener::Impl::wakeAccept() const {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un addr = addressFor(socketPath);
  (void)::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::close(fd);
}

EventListener::EventListener(std::string socketPath) : impl_(std::make_shared<Impl>(std::move(socketPath))) {}

// Stops on destruction so no thread, descriptor or socket file outlives the object that owns them.
EventListener::~EventListener() { stop(); }

const std::string& EventListener::socketPath() const { return impl_->socketPath; }

bool EventListener::isRunning() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->running;
}

void EventListener::start(Callback onEvent) {
  Impl& im = *impl_;
  std::lock_guard<std::mutex> life(im.lifecycle);
  {
    std::lock_guard<std::mutex> guard(im.lock);
    if (im.running) return;
  }
  const std::string& path = im.socketPath;
  // An empty path would bind an abstract socket and one with a NUL would bind a shorter path.
  if (path.empty() || path.size() > kMaxPathBytes || path.find('\0') != std::string::npos) return;

  std::error_code ec;
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  ::unlink(path.c_str());

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un addr = addressFor(path);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, kBacklog) != 0) {
    ::close(fd);
    return;
  }

  auto run = std::make_shared<Run>();
  run->serverFD = fd;
  run->onEvent = std::move(onEvent);
  {
    std::lock_guard<std::mutex> guard(im.lock);
    im.run = run;
    im.running = true;
  }
  try {
    std::thread([impl = impl_, run] { impl->acceptLoop(run); }).detach();
  } catch (...) {
    {
      std::lock_guard<std::mutex> guard(im.lock);
      im.run.reset();
      im.running = false;
    }
    ::close(fd);
    ::unlink(path.c_str());
  }
}

void EventListener::stop() {
  Impl& im = *impl_;
  std::lock_guard<std::mutex> life(im.lifecycle);
  const auto deadline = Clock::now() + kStopBudget;
  std::shared_ptr<Run> run;
  std::map<int, std::shared_ptr<Connection>> taken;
  {
    std::lock_guard<std::mutex> guard(im.lock);
    im.running = false;
    run = std::move(im.run);
    im.run.reset();
    taken.swap(im.activeConns);
    im.changed.notify_all();
  }

  if (run) {
    ::shutdown(run->serverFD, SHUT_RDWR);
    im.wakeAccept();
    bool closeServer;
    {
      std::unique_lock<std::mutex> guard(im.lock);
      im.changed.wait_until(guard, deadline, [&] { return run->acceptExited; });
      // A loop that has not left accept() yet closes the descriptor itself on the way out.
      closeServer = run->acceptExited;
      if (!closeServer) run->closeServerOnExit = true;
    }
    if (closeServer) ::close(run->serverFD);
  }

  for (auto& [fd, conn] : taken) ::shutdown(fd, SHUT_RDWR);
  if (!taken.empty()) {
    std::vector<int> toClose;
    {
      std::unique_lock<std::mutex> guard(im.lock);
      im.changed.wait_until(guard, deadline, [&] {
        for (auto& [fd, conn] : taken)
          if (!conn->readerExited) return false;
        return true;
      });
      for (auto& [fd, conn] : taken) {
        if (conn->readerExited)
          toClose.push_back(fd);
        else
          conn->closeOnExit = true;  // its reader is still in a callback; it closes on the way out
      }
    }
    for (int fd : toClose) ::close(fd);
  }
  ::unlink(im.socketPath.c_str());
}

}  // namespace gt

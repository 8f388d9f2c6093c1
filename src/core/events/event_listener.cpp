#include "core/events/event_listener.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/common/private_dir.h"

namespace gt {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kCategory = "listener";
constexpr int kBacklog = 64;
constexpr std::size_t kReadChunk = 65536;
constexpr auto kStopBudget = std::chrono::seconds(2);
// Descriptors short: accepting pauses this long rather than spinning on a ready listening socket.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
constexpr auto kRefusalLogEvery = std::chrono::minutes(1);
// A connection that sent a byte this recently counts as delivering, not idle, when partial records
// run over budget (a busy sender's socket is often empty for a moment between writes).
constexpr auto kQuietBeforeEviction = std::chrono::seconds(1);

sockaddr_un addressFor(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), std::min(path.size(), sizeof addr.sun_path - 1));
  return addr;
}

// True when a listener answers at `path` (a full backlog counts as answering).
bool someoneListens(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr = addressFor(path);
  bool answers = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EAGAIN;
  ::close(fd);
  return answers;
}

std::string errnoText(const char* what, int err) { return std::string(what) + ": " + std::strerror(err); }

struct Connection {
  int fd;
  Clock::time_point lastByte;
  std::string pending;    // the start of a record whose line feed has not come yet
  bool skipping = false;  // inside an over-long record: drop bytes up to its line feed
  bool paused = false;    // not read while partial records are over budget and others are delivering
};

}  // namespace

// One run, start() to stop(): all that its thread touches. The thread holds `lock` except while the
// callback runs, so a stop() that cannot wait for a slow callback closes everything itself and the
// thread, back from the callback, finds `stopping` and leaves without touching anything.
struct EventListener::Run {
  Run(Callback cb, std::shared_ptr<Log> l, Limits lim) : onEvent(std::move(cb)), log(std::move(l)), limits(lim) {}
  const Callback onEvent;
  const std::shared_ptr<Log> log;
  const Limits limits;
  std::mutex lock;
  std::condition_variable ended;
  std::atomic<bool> stopping{false};
  bool exited = false;
  int serverFD = -1, epollFD = -1, wakeFD = -1;
  std::atomic<int> nextServer{-1};  // a socket bound again by start(), for the thread to take over
  bool acceptPaused = false;        // the listening socket is out of the poll set until `resumeAt`
  Clock::time_point resumeAt;

  // Least recently active first.
  std::list<Connection> conns;
  std::unordered_map<int, std::list<Connection>::iterator> byFD;
  std::size_t pendingTotal = 0;  // capacity held by all `pending` buffers
  std::size_t paused = 0;
  std::map<uid_t, Clock::time_point> refusalLogged;
  std::vector<char> buf = std::vector<char>(kReadChunk);
  std::vector<std::string_view> cut;  // the whole records of the latest read, in `buf` or joined

  void say(const std::string& text) const {
    if (log) log->error(kLogSubsystem, kCategory, text);
  }

  bool control(int op, int fd, std::uint32_t events = EPOLLIN) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    return ::epoll_ctl(epollFD, op, fd, &ev) == 0;
  }

  void watch(Connection& c, bool reading) {
    control(EPOLL_CTL_MOD, c.fd, reading ? std::uint32_t{EPOLLIN} : 0);
    if (c.paused && reading) --paused;
    if (!c.paused && !reading) ++paused;
    c.paused = !reading;
  }

  // Frees a connection's partial record; once back under budget, paused connections are read again.
  void release(Connection& c) {
    pendingTotal -= std::min(pendingTotal, c.pending.capacity());
    std::string().swap(c.pending);
    resumeIfRoom();
  }

  void resumeIfRoom() {
    if (paused == 0 || pendingTotal > limits.pendingBytes) return;
    for (auto& other : conns)
      if (other.paused) watch(other, true);
  }

  void drop(std::list<Connection>::iterator it) {
    if (it->paused) --paused;
    it->paused = false;
    pendingTotal -= std::min(pendingTotal, it->pending.capacity());
    ::epoll_ctl(epollFD, EPOLL_CTL_DEL, it->fd, nullptr);
    ::close(it->fd);
    byFD.erase(it->fd);
    conns.erase(it);
    resumeIfRoom();
  }

  // Closes the connection idle the longest other than `keep`. Unless `evenIfDelivering`, only one that
  // has neither unread bytes nor sent any for a while qualifies; false when there is none.
  bool dropIdlest(std::list<Connection>::iterator keep, bool evenIfDelivering) {
    auto victim = conns.end();
    const auto quietSince = Clock::now() - kQuietBeforeEviction;
    for (auto it = conns.begin(); it != conns.end(); ++it) {
      if (it == keep) continue;
      if (!evenIfDelivering && it->lastByte > quietSince) break;  // the rest are younger still
      int unread = 0;
      if (!it->paused && ::ioctl(it->fd, FIONREAD, &unread) == 0 && unread == 0) {
        victim = it;
        break;
      }
      if (evenIfDelivering && victim == conns.end()) victim = it;
    }
    if (victim == conns.end()) return false;
    drop(victim);
    return true;
  }

  bool peerIsUs(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    if (cred.uid == ::geteuid()) return true;
    auto now = Clock::now();
    auto [it, first] = refusalLogged.try_emplace(cred.uid, now);
    if (first || now - it->second >= kRefusalLogEvery) {
      it->second = now;
      say("refused an event connection from uid " + std::to_string(cred.uid) + " (pid " + std::to_string(cred.pid) +
          "): only the user's own programs may send events");
    }
    return false;
  }

  void acceptAll() {
    // A few per round, so the records of those already in are read before more crowd in.
    for (int round = 0; round < 32; ++round) {
      int fd = ::accept4(serverFD, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if ((errno == EMFILE || errno == ENFILE) && dropIdlest(conns.end(), true)) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          // Out of descriptors or memory for now: look again shortly instead of spinning.
          ::epoll_ctl(epollFD, EPOLL_CTL_DEL, serverFD, nullptr);
          acceptPaused = true;
          resumeAt = Clock::now() + kAcceptRetryPause;
        }
        return;
      }
      if (!peerIsUs(fd)) {
        ::close(fd);
        continue;
      }
      while (conns.size() >= limits.connections && dropIdlest(conns.end(), true)) {
      }
      conns.push_back(Connection{fd, Clock::now(), {}, false});
      auto it = std::prev(conns.end());
      if (!control(EPOLL_CTL_ADD, fd, EPOLLIN | EPOLLRDHUP)) {
        ::close(fd);
        conns.erase(it);
        continue;
      }
      byFD.emplace(fd, it);
    }
  }

  // Decodes the records cut from one read and hands them over one by one with `lock` let go; false once
  // stop() has taken over.
  bool deliver(std::unique_lock<std::mutex>& held) {
    if (cut.empty()) return true;
    held.unlock();
    for (std::string_view record : cut) {
      if (stopping) break;
      auto event = decodeAgentEvent(record);
      if (!event) continue;
      try {
        onEvent(std::move(*event));
      } catch (...) {
        // A failing handler loses this event only.
      }
    }
    held.lock();
    return !stopping;
  }

  bool readFrom(std::list<Connection>::iterator it, std::unique_lock<std::mutex>& held) {
    ssize_t n = ::read(it->fd, buf.data(), buf.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) {
      drop(it);  // a record without its line feed is never delivered
      return true;
    }
    Connection& c = *it;
    c.lastByte = Clock::now();
    conns.splice(conns.end(), conns, it);  // now the most recently active

    std::string_view chunk(buf.data(), static_cast<std::size_t>(n));
    if (c.skipping) {
      auto lf = chunk.find('\n');
      if (lf == std::string_view::npos) return true;
      chunk.remove_prefix(lf + 1);
      c.skipping = false;
    }
    cut.clear();
    std::string joined;  // only the first record can have begun in an earlier read
    for (auto lf = chunk.find('\n'); lf != std::string_view::npos; lf = chunk.find('\n')) {
      std::string_view line = chunk.substr(0, lf);
      chunk.remove_prefix(lf + 1);
      if (c.pending.empty()) {
        cut.push_back(line);
        continue;
      }
      if (c.pending.size() + line.size() <= kMaxPendingBytes) cut.push_back(joined.append(c.pending).append(line));
      release(c);
    }
    if (chunk.empty()) return deliver(held);
    if (c.pending.size() + chunk.size() > kMaxPendingBytes) {
      release(c);
      c.skipping = true;
      return deliver(held);
    }
    std::size_t before = c.pending.capacity(), need = c.pending.size() + chunk.size();
    // Grown by doubling but never past the record bound, so the budget counts what is really held.
    if (need > before) c.pending.reserve(std::min(std::max(need, 2 * before), kMaxPendingBytes));
    c.pending.append(chunk);
    pendingTotal += c.pending.capacity() - before;
    // Partial records of all connections share one budget. The idlest pays for going over it; when every
    // other holder is delivering, this one waits unread until they are done.
    while (pendingTotal > limits.pendingBytes) {
      if (dropIdlest(it, false)) continue;
      bool othersDeliver = std::any_of(
          conns.begin(), conns.end(), [&](const Connection& o) { return &o != &c && !o.paused && !o.pending.empty(); });
      if (othersDeliver) watch(c, false);
      break;
    }
    return deliver(held);
  }

  void serve(std::unique_lock<std::mutex>& held) {
    std::vector<epoll_event> events(64);
    while (!stopping) {
      auto now = Clock::now();
      while (!conns.empty() && now - conns.front().lastByte >= limits.idle) drop(conns.begin());
      // Paused readers wait for room; holders gone quiet since make it. When no reader that holds a
      // partial record is left to free some, the one paused longest goes on, alone over the budget.
      if (paused) {
        while (pendingTotal > limits.pendingBytes && dropIdlest(conns.end(), false)) {
        }
        resumeIfRoom();
        if (paused && std::none_of(conns.begin(), conns.end(),
                                   [](const Connection& o) { return !o.paused && !o.pending.empty(); }))
          for (auto& o : conns)
            if (o.paused) {
              watch(o, true);
              break;
            }
      }
      if (acceptPaused && now >= resumeAt) {
        control(EPOLL_CTL_ADD, serverFD);
        acceptPaused = false;
      }
      auto wait = limits.idle;
      if (!conns.empty())
        wait = std::chrono::duration_cast<std::chrono::milliseconds>(conns.front().lastByte + limits.idle - now) +
               std::chrono::milliseconds(1);
      if (acceptPaused || paused) wait = std::min(wait, std::chrono::milliseconds(100));
      int n = ::epoll_wait(epollFD, events.data(), static_cast<int>(events.size()), static_cast<int>(wait.count()));
      if (n < 0 && errno != EINTR) return;
      for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        if (fd == wakeFD) {
          if (stopping) return;
          takeNextServer();
        } else if (fd == serverFD) {
          acceptAll();
        } else if (auto found = byFD.find(fd); found != byFD.end() && !readFrom(found->second, held)) {
          return;
        }
      }
    }
  }

  // The old socket's file is gone: the connections already queued on it come in before it closes.
  void takeNextServer() {
    std::uint64_t count;
    (void)!::read(wakeFD, &count, sizeof count);
    int next = nextServer.exchange(-1);
    if (next < 0) return;
    acceptAll();
    ::epoll_ctl(epollFD, EPOLL_CTL_DEL, serverFD, nullptr);
    ::close(serverFD);
    serverFD = next;
    if (!acceptPaused) control(EPOLL_CTL_ADD, serverFD);  // else added once accepting resumes
  }

  void closeAll() {
    paused = 0;
    while (!conns.empty()) drop(conns.begin());
    for (int fd : {serverFD, epollFD, wakeFD, nextServer.exchange(-1)})
      if (fd >= 0) ::close(fd);
    serverFD = epollFD = wakeFD = -1;
  }
};

struct EventListener::Impl {
  Impl(std::string path, std::shared_ptr<Log> l, Limits lim)
      : socketPath(std::move(path)), log(std::move(l)), limits(lim) {}

  const std::string socketPath;
  const std::shared_ptr<Log> log;
  const Limits limits;
  mutable std::mutex lifecycle;  // serialises start(), stop() and isRunning()
  std::shared_ptr<Run> run;      // while running
  std::thread io;
  dev_t boundDev = 0;
  ino_t boundIno = 0;

  Failure<Problem<ListenProblem>> refuse(ListenProblem kind, std::string text) const {
    if (log)
      log->error(kLogSubsystem, kCategory,
                 (run ? "event socket not bound again: " : "event listener not started: ") + text);
    return fail(kind, std::move(text));
  }
  Result<int, Problem<ListenProblem>> listenAt();
};

// Makes the folders private, replaces a stale socket, binds a new one (0600) and listens; its descriptor.
Result<int, Problem<ListenProblem>> EventListener::Impl::listenAt() {
  const std::string& path = socketPath;
  // An empty path would bind an abstract socket and one with a NUL would bind a shorter path.
  if (path.empty() || path.find('\0') != std::string::npos)
    return refuse(ListenProblem::badPath, "the socket path is empty or not a path");
  if (path.size() > kMaxPathBytes)
    return refuse(ListenProblem::badPath,
                  "the socket path " + path + " is longer than " + std::to_string(kMaxPathBytes) + " bytes");

  // Whoever can enter these directories could read agents' records or post fake ones.
  std::filesystem::path runDir = std::filesystem::path(path).parent_path();
  for (const auto& dir : {runDir.parent_path(), runDir})
    if (auto made = ensurePrivateDir(dir); !made) return refuse(ListenProblem::unsafeDir, made.error().detail);

  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISSOCK(st.st_mode) && someoneListens(path))
      return refuse(ListenProblem::inUse,
                    "another program already listens on " + path + " (is Glowticker running twice?)");
    ::unlink(path.c_str());  // left by a run that ended without cleaning up
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return refuse(ListenProblem::system, errnoText("cannot create a socket", errno));
  // Linux gives a bound socket file the mode of the socket's inode, so this holds from the first moment.
  ::fchmod(fd, 0600);
  sockaddr_un addr = addressFor(path);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    ::close(fd);
    return refuse(ListenProblem::system, errnoText(("cannot bind " + path).c_str(), err));
  }
  ::chmod(path.c_str(), 0600);
  if (::listen(fd, kBacklog) != 0) {
    const int err = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return refuse(ListenProblem::system, errnoText("cannot listen", err));
  }
  ::lstat(path.c_str(), &st);
  boundDev = st.st_dev;
  boundIno = st.st_ino;
  return fd;
}

EventListener::EventListener(std::string socketPath, std::shared_ptr<Log> log, Limits limits)
    : impl_(std::make_unique<Impl>(std::move(socketPath), std::move(log), limits)) {}

// Stops on destruction so no thread, descriptor or socket file outlives the object that owns them.
EventListener::~EventListener() { stop(); }

const std::string& EventListener::socketPath() const { return impl_->socketPath; }

bool EventListener::isRunning() const {
  std::lock_guard<std::mutex> guard(impl_->lifecycle);
  return impl_->run != nullptr;
}

Result<void, Problem<ListenProblem>> EventListener::start(Callback onEvent) {
  Impl& im = *impl_;
  std::lock_guard<std::mutex> life(im.lifecycle);
  struct stat st {};
  const char* path = im.socketPath.c_str();
  if (im.run && ::lstat(path, &st) == 0 && st.st_dev == im.boundDev && st.st_ino == im.boundIno) return {};
  auto listening = im.listenAt();
  if (!listening) return fail(listening.error());
  const int fd = *listening;
  if (im.run) {
    if (int unclaimed = im.run->nextServer.exchange(fd); unclaimed >= 0) ::close(unclaimed);
    std::uint64_t one = 1;
    (void)!::write(im.run->wakeFD, &one, sizeof one);
    return {};
  }

  auto run = std::make_shared<Run>(std::move(onEvent), im.log, im.limits);
  run->serverFD = fd;
  auto undo = [&](std::string problem) {
    run->closeAll();
    ::unlink(path);
    return im.refuse(ListenProblem::system, std::move(problem));
  };
  run->epollFD = ::epoll_create1(EPOLL_CLOEXEC);
  run->wakeFD = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (run->epollFD < 0 || run->wakeFD < 0) return undo(errnoText("cannot set up event polling", errno));
  run->control(EPOLL_CTL_ADD, fd);
  run->control(EPOLL_CTL_ADD, run->wakeFD);
  try {
    im.io = std::thread([run] {
      std::unique_lock<std::mutex> held(run->lock);
      run->serve(held);
      run->exited = true;
      run->ended.notify_all();
    });
  } catch (...) {
    return undo("cannot start the intake thread");
  }
  im.run = std::move(run);
  return {};
}

void EventListener::stop() {
  Impl& im = *impl_;
  std::lock_guard<std::mutex> life(im.lifecycle);
  if (!im.run) return;
  std::shared_ptr<Run> run = std::move(im.run);
  const auto deadline = Clock::now() + kStopBudget;
  run->stopping = true;
  std::uint64_t one = 1;
  (void)!::write(run->wakeFD, &one, sizeof one);
  bool out;
  {
    // Free once the woken thread has left, or while it is inside the callback.
    std::unique_lock<std::mutex> g(run->lock);
    out = run->ended.wait_until(g, deadline, [&] { return run->exited; });
    run->closeAll();
  }
  // A thread inside a slow callback is left to finish on its own; it holds what it needs.
  out ? im.io.join() : im.io.detach();

  struct stat st {};
  if (::lstat(im.socketPath.c_str(), &st) == 0 && st.st_dev == im.boundDev && st.st_ino == im.boundIno)
    ::unlink(im.socketPath.c_str());
}

}  // namespace gt

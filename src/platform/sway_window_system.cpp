// Sway through its IPC socket ($SWAYSOCK), i3's framing: "i3-ipc", payload length and message type
// as native 32-bit integers, then the payload; answers are JSON.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/window_systems.h"

namespace gt {

namespace {

constexpr std::uint32_t kRunCommand = 0, kGetTree = 4;
constexpr std::uint32_t kMaxReply = 16u << 20;  // a tree of many windows stays far below this
constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};

class SwayWindowSystem : public WindowSystem {
 public:
  explicit SwayWindowSystem(std::string socketPath) : path_(std::move(socketPath)) {}

  Result<std::vector<Window>, Problem<WindowProblem>> windows() override {
    auto tree = ask(kGetTree, "");
    if (!tree) return fail(tree.error());
    std::vector<Window> out;
    collect(*tree, 0, out);
    return out;
  }

  Outcome activate(const Window& window, const std::string&) override {
    auto reply = ask(kRunCommand, "[con_id=" + window.handle + "] focus");
    if (!reply) return {false, reply.error().detail};
    const bool done = reply->is_array() && !reply->empty() && reply->at(0).is_object() &&
                      reply->at(0).contains("success") && reply->at(0)["success"] == true;
    return {done, done ? "Sway: focused the window of pid " + std::to_string(window.pid)
                       : "Sway: could not focus the window of pid " + std::to_string(window.pid)};
  }

 private:
  // The windows are the leaves that belong to a process, tiled or floating, on every workspace and in
  // the scratchpad.
  static void collect(const nlohmann::json& node, int depth, std::vector<Window>& out) {
    if (!node.is_object() || depth > 64 || out.size() >= 4096) return;
    auto number = [&](const char* key) {
      auto it = node.find(key);
      return it != node.end() && it->is_number_integer() ? it->get<std::int64_t>() : std::int64_t{0};
    };
    if (std::int64_t pid = number("pid"); pid > 0) {
      auto name = node.find("name");
      out.push_back({std::to_string(number("id")), pid,
                     static_cast<std::uint64_t>(std::max<std::int64_t>(0, number("window"))),
                     name != node.end() && name->is_string() ? name->get<std::string>() : "",
                     node.contains("focused") && node["focused"].is_boolean() && node["focused"].get<bool>()});
    }
    for (const char* key : {"nodes", "floating_nodes"}) {
      auto it = node.find(key);
      if (it == node.end() || !it->is_array()) continue;
      for (const auto& child : *it) collect(child, depth + 1, out);
    }
  }

  // One request on a fresh connection, answered within a second or given up.
  Result<nlohmann::json, Problem<WindowProblem>> ask(std::uint32_t type, const std::string& payload) const {
    auto noAnswer = [](const std::string& why) { return fail(WindowProblem::noAnswer, "Sway: " + why); };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return noAnswer(std::strerror(errno));
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{fd};
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) return noAnswer("socket path too long");
    std::memcpy(addr.sun_path, path_.c_str(), path_.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS)
      return noAnswer("cannot reach " + path_ + ": " + std::strerror(errno));

    std::string message(kMagic, sizeof kMagic);
    std::uint32_t header[2] = {static_cast<std::uint32_t>(payload.size()), type};
    message.append(reinterpret_cast<const char*>(header), sizeof header);
    message += payload;
    auto wait = [&](short events) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
      pollfd p{fd, events, 0};
      return left > 0 && ::poll(&p, 1, left) == 1;
    };
    for (std::size_t sent = 0; sent < message.size();) {
      if (!wait(POLLOUT)) return noAnswer("no answer from " + path_);
      ssize_t n = ::send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return noAnswer(std::strerror(errno));
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
    std::string reply;
    std::size_t want = sizeof kMagic + sizeof header;
    char buf[65536];
    while (reply.size() < want) {
      if (!wait(POLLIN)) return noAnswer("no answer from " + path_);
      ssize_t n = ::recv(fd, buf, std::min(sizeof buf, want - reply.size()), 0);
      if (n == 0) return noAnswer("the connection closed early");
      if (n < 0 && errno != EAGAIN && errno != EINTR) return noAnswer(std::strerror(errno));
      if (n > 0) reply.append(buf, static_cast<std::size_t>(n));
      if (want == sizeof kMagic + sizeof header && reply.size() == want) {
        std::uint32_t length = 0;
        std::memcpy(&length, reply.data() + sizeof kMagic, sizeof length);
        if (reply.compare(0, sizeof kMagic, kMagic, sizeof kMagic) != 0 || length > kMaxReply)
          return noAnswer("not an i3-ipc answer");
        want += length;
      }
    }
    auto doc = nlohmann::json::parse(reply.begin() + sizeof kMagic + sizeof header, reply.end(), nullptr, false);
    if (doc.is_discarded()) return noAnswer("unreadable answer");
    return doc;
  }

  std::string path_;
};

}  // namespace

std::shared_ptr<WindowSystem> makeSwayWindowSystem(std::string socketPath) {
  return std::make_shared<SwayWindowSystem>(std::move(socketPath));
}

}  // namespace gt

// KWin on Wayland lets no client see or focus another's window, but its own scripts may: a small
// script is loaded through the scripting interface on the session bus, run once and unloaded. It
// answers by calling a method on our own bus connection, which only KWin may do.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "platform/window_systems.h"

namespace gt {

namespace {

using namespace std::chrono_literals;

constexpr char kPath[] = "/io/glowticker/KWin", kInterface[] = "io.glowticker.KWin";
constexpr std::size_t kMaxAnswer = 1u << 20;

struct BusUnref {
  void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};

std::string busError(const sd_bus_error& e, int r) { return e.message ? e.message : std::strerror(-r); }

// ES5 only: older KWin versions run scripts in QtScript. KWin 6 names windows "windows" and the
// focused one activeWindow; KWin 5 says clients and activeClient. `body` sees `all`, `active`, `focus`
// and `answer`.
std::string script(const std::string& replyTo, const std::string& body) {
  return "(function () {\n"
         "  var all = typeof workspace.windowList === 'function' ? workspace.windowList() : workspace.clientList();\n"
         "  var active = 'activeWindow' in workspace ? workspace.activeWindow : workspace.activeClient;\n"
         "  function focus(w) { if ('activeWindow' in workspace) workspace.activeWindow = w; else "
         "workspace.activeClient = w; }\n"
         "  function answer(v) { callDBus(" +
         nlohmann::json(replyTo).dump() + ", '" + kPath + "', '" + kInterface + "', 'Answer', JSON.stringify(v)); }\n" +
         body + "})();\n";
}

class KWinWindowSystem : public WindowSystem {
 public:
  Result<std::vector<Window>, Problem<WindowProblem>> windows() override {
    auto list =
        run("  var out = [];\n"
            "  for (var i = 0; i < all.length; ++i)\n"
            "    if (all[i].normalWindow)\n"
            "      out.push([String(all[i].internalId), all[i].pid, all[i].windowId || 0, String(all[i].caption),\n"
            "                all[i] === active]);\n"
            "  answer(out);\n");
    if (!list) return fail(list.error());
    std::vector<Window> out;
    for (const auto& w : list->is_array() ? *list : nlohmann::json::array()) {
      if (!w.is_array() || w.size() != 5 || !w[0].is_string() || !w[1].is_number_integer() ||
          !w[2].is_number_unsigned() || !w[3].is_string() || !w[4].is_boolean())
        continue;
      out.push_back({w[0].get<std::string>(), w[1].get<std::int64_t>(), w[2].get<std::uint64_t>(),
                     w[3].get<std::string>(), w[4].get<bool>()});
    }
    return out;
  }

  Outcome activate(const Window& window, const std::string&) override {
    auto done =
        run("  for (var i = 0; i < all.length; ++i)\n"
            "    if (String(all[i].internalId) === " +
            nlohmann::json(window.handle).dump() +
            ") { focus(all[i]); answer(true); return; }\n"
            "  answer(false);\n");
    const std::string which = "the window of pid " + std::to_string(window.pid);
    if (!done) return {false, done.error().detail};
    if (*done != true) return {false, "KWin: " + which + " is gone"};
    return {true, "KWin: activated " + which};
  }

 private:
  // Runs one script and waits for its answer, at most four seconds in all (a busy KWin takes its time).
  Result<nlohmann::json, Problem<WindowProblem>> run(const std::string& body) {
    auto noAnswer = [](const std::string& why) { return fail(WindowProblem::noAnswer, why); };
    const auto deadline = std::chrono::steady_clock::now() + 4s;
    sd_bus* raw = nullptr;
    if (int r = sd_bus_open_user(&raw); r < 0)
      return noAnswer(std::string("KWin: no session bus: ") + std::strerror(-r));
    std::unique_ptr<sd_bus, BusUnref> bus(raw);
    sd_bus_set_method_call_timeout(bus.get(), 2'000'000);
    const char* self = nullptr;
    sd_bus_creds* creds = nullptr;
    const char* kwin = nullptr;
    if (sd_bus_get_unique_name(bus.get(), &self) < 0 ||
        sd_bus_get_name_creds(bus.get(), "org.kde.KWin", SD_BUS_CREDS_UNIQUE_NAME, &creds) < 0 ||
        sd_bus_creds_get_unique_name(creds, &kwin) < 0) {
      sd_bus_creds_unref(creds);
      return noAnswer("KWin: not on the session bus");
    }
    Reply reply{kwin, std::nullopt};
    sd_bus_creds_unref(creds);
    const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Answer", "s", "", &KWinWindowSystem::answered, 0), SD_BUS_VTABLE_END};
    if (int r = sd_bus_add_object_vtable(bus.get(), nullptr, kPath, kInterface, vtable, &reply); r < 0)
      return noAnswer(std::string("KWin: ") + std::strerror(-r));

    // KWin reads the script from a file of ours; private, and removed once the script is unloaded.
    char path[] = "/tmp/glowticker-kwin-XXXXXX.js";
    int fd = ::mkstemps(path, 3);
    if (fd < 0) return noAnswer(std::string("KWin: cannot write the script: ") + std::strerror(errno));
    const std::string text = script(self, body);
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    static std::atomic<int> serial{0};
    const std::string plugin = "glowticker-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
    Result<void, Problem<WindowProblem>> ran =
        written ? loadAndRun(bus.get(), path, plugin) : noAnswer("KWin: cannot write the script");
    while (ran && !reply.answer) {
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        ran = noAnswer("KWin: the script did not answer");
      else if (int r = sd_bus_process(bus.get(), nullptr); r < 0)
        ran = noAnswer(std::string("KWin: ") + std::strerror(-r));
      else if (r == 0)
        sd_bus_wait(bus.get(), static_cast<std::uint64_t>(left.count()));
    }
    sd_bus_call_method(bus.get(), "org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "unloadScript", nullptr,
                       nullptr, "s", plugin.c_str());
    ::unlink(path);
    if (!ran) return fail(ran.error());
    auto doc = nlohmann::json::parse(*reply.answer, nullptr, false);
    if (doc.is_discarded()) return noAnswer("KWin: unreadable answer");
    return doc;
  }

  struct Reply {
    std::string from;  // KWin's unique name: nobody else's answer counts
    std::optional<std::string> answer;
  };

  static int answered(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* reply = static_cast<Reply*>(data);
    const char* text = nullptr;
    const char* sender = sd_bus_message_get_sender(m);
    if (sender && reply->from == sender && sd_bus_message_read(m, "s", &text) >= 0 && std::strlen(text) <= kMaxAnswer)
      reply->answer = text;
    return sd_bus_reply_method_return(m, "");
  }

  static Result<void, Problem<WindowProblem>> loadAndRun(sd_bus* bus, const char* path, const std::string& plugin) {
    sd_bus_error err = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, "org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "loadScript", &err, &reply,
                               "ss", path, plugin.c_str());
    std::int32_t id = -1;
    if (r >= 0) r = sd_bus_message_read(reply, "i", &id);
    sd_bus_message_unref(reply);
    if (r < 0 || id < 0) {
      std::string why = "KWin: cannot load a script: " + (r < 0 ? busError(err, r) : std::string("refused"));
      sd_bus_error_free(&err);
      return fail(WindowProblem::noAnswer, why);
    }
    // start runs every loaded script not yet running. Running ours by its object (/N on KWin 5, whose N
    // is the count of loaded scripts and so repeats once one is unloaded) could run another one instead.
    r = sd_bus_call_method(bus, "org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "start", &err, nullptr, "");
    Result<void, Problem<WindowProblem>> ran;
    if (r < 0) ran = fail(WindowProblem::noAnswer, "KWin: cannot run the script: " + busError(err, r));
    sd_bus_error_free(&err);
    return ran;
  }
};

}  // namespace

std::shared_ptr<WindowSystem> makeKWinWindowSystem() { return std::make_shared<KWinWindowSystem>(); }

}  // namespace gt

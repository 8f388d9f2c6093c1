// KWin on Wayland lets no client focus another's window, but its own scripts may: a small script that
// activates the window of the terminal's process is loaded through the scripting interface on the
// session bus, run once and unloaded.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/window_systems.h"

namespace gt {

namespace {

using namespace std::chrono_literals;

struct BusUnref {
  void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};

// ES5 only: older KWin versions run scripts in QtScript. KWin 6 names windows "windows" and the
// focused one activeWindow; KWin 5 says clients and activeClient.
std::string scriptFor(const std::vector<std::int64_t>& pids) {
  std::string list;
  for (std::int64_t p : pids) list += (list.empty() ? "" : ",") + std::to_string(p);
  return "(function () {\n"
         "  var pids = [" +
         list +
         "];\n"
         "  var all = typeof workspace.windowList === 'function' ? workspace.windowList() : workspace.clientList();\n"
         "  for (var i = 0; i < pids.length; ++i)\n"
         "    for (var j = 0; j < all.length; ++j)\n"
         "      if (all[j].pid === pids[i] && all[j].normalWindow) {\n"
         "        if ('activeWindow' in workspace) workspace.activeWindow = all[j]; else workspace.activeClient = "
         "all[j];\n"
         "        return;\n"
         "      }\n"
         "})();\n";
}

std::string busError(const sd_bus_error& e, int r) { return e.message ? e.message : std::strerror(-r); }

class KWinWindowSystem : public WindowSystem {
 public:
  Outcome raise(const std::vector<std::int64_t>& pids, const std::string&, const std::string&) override {
    if (pids.empty()) return {false, "KWin: no terminal process is known"};
    sd_bus* raw = nullptr;
    if (int r = sd_bus_open_user(&raw); r < 0)
      return {false, std::string("KWin: no session bus: ") + std::strerror(-r)};
    std::unique_ptr<sd_bus, BusUnref> bus(raw);
    sd_bus_set_method_call_timeout(bus.get(), 2'000'000);

    // KWin reads the script from a file of ours; private, and removed once the script is unloaded.
    char path[] = "/tmp/glowticker-kwin-XXXXXX.js";
    int fd = ::mkstemps(path, 3);
    if (fd < 0) return {false, std::string("KWin: cannot write the script: ") + std::strerror(errno)};
    std::string text = scriptFor(pids);
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    static std::atomic<int> serial{0};
    const std::string plugin = "glowticker-raise-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
    Outcome out = written ? loadAndRun(bus.get(), path, plugin) : Outcome{false, "KWin: cannot write the script"};
    ::unlink(path);
    return out;
  }
  std::optional<bool> isActive(const std::vector<std::int64_t>&, const std::string&) override { return std::nullopt; }

 private:
  Outcome loadAndRun(sd_bus* bus, const char* path, const std::string& plugin) {
    sd_bus_error err = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, "org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "loadScript", &err, &reply,
                               "ss", path, plugin.c_str());
    std::int32_t id = -1;
    if (r >= 0) r = sd_bus_message_read(reply, "i", &id);
    sd_bus_message_unref(reply);
    if (r < 0 || id < 0) {
      Outcome o{false, "KWin: cannot load a script: " + (r < 0 ? busError(err, r) : std::string("refused"))};
      sd_bus_error_free(&err);
      return o;
    }
    // Plasma 6 (and late 5) put the script at /Scripting/ScriptN, earlier versions at /N.
    std::string object = "/Scripting/Script" + std::to_string(id);
    r = sd_bus_call_method(bus, "org.kde.KWin", object.c_str(), "org.kde.kwin.Script", "run", &err, nullptr, "");
    if (r < 0) {
      sd_bus_error_free(&err);
      object = "/" + std::to_string(id);
      r = sd_bus_call_method(bus, "org.kde.KWin", object.c_str(), "org.kde.kwin.Script", "run", &err, nullptr, "");
    }
    Outcome o{r >= 0, r >= 0 ? "KWin: asked to activate the terminal's window"
                             : "KWin: cannot run the script: " + busError(err, r)};
    sd_bus_error_free(&err);
    // KWin 5 reads the file in the background once run: unloading at once could stop it first.
    std::this_thread::sleep_for(300ms);
    sd_bus_call_method(bus, "org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "unloadScript", nullptr, nullptr,
                       "s", plugin.c_str());
    return o;
  }
};

}  // namespace

std::shared_ptr<WindowSystem> makeKWinWindowSystem() { return std::make_shared<KWinWindowSystem>(); }

}  // namespace gt

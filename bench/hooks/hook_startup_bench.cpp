// Whole-process time of the hook the agents run, beside /bin/true and a Python one-liner doing the
// same send, with an app-like listener reading the event socket on a temporary HOME and without one.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string gHome;
std::vector<std::string> gEnv, gNoAppEnv;
std::atomic<bool> gStop{false};
std::atomic<int> gServed{0};  // connections read to their end

const char* kPayload = R"({"type":"agent-turn-complete","cwd":"/home/u/demo","last-assistant-message":"All done."})";

const char* kPython =
    "import json,os,socket,sys,time\n"
    "p=json.loads(sys.argv[1])\n"
    "ev={'type':p.get('type',''),'agent':'codex','state':'done','title':'任务完成',"
    "'message':p.get('last-assistant-message','')[:240],'project':os.path.basename(p.get('cwd','')),"
    "'ts':int(time.time()*1000)}\n"
    "try:\n"
    " s=socket.socket(socket.AF_UNIX,socket.SOCK_STREAM);s.settimeout(0.2)\n"
    " s.connect(os.path.expanduser('~/.glowticker/run/events.sock'))\n"
    " s.sendall((json.dumps(ev,ensure_ascii=False)+'\\n').encode());s.close()\n"
    "except OSError:\n"
    " pass\n";

// Accepts and drains connections as the running app would.
void serve(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) std::abort();
  while (!gStop) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    char buf[4096];
    for (int i = 0; i < 64; ++i) {
      pollfd q{c, POLLIN, 0};
      if (::poll(&q, 1, 200) <= 0 || ::read(c, buf, sizeof buf) <= 0) break;
    }
    ::close(c);
    ++gServed;
  }
  ::close(fd);
}

// Starts the program and waits for it; its whole life in microseconds.
double spawnAndWait(std::vector<std::string> args, const std::vector<std::string>& env) {
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  int status;
  if (rc == 0) ::waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() : -1;
}

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// /bin/true and the hook, with the app listening and without, started in turn within each iteration so
// that all three meet the same load on a shared machine; medians per program in the counters (µs).
void BM_StartUp(benchmark::State& state) {
  const std::vector<std::string> hook = {GT_HOOK_EXE, "--agent", "codex", kPayload};
  std::vector<double> bin, app, alone;
  for (auto _ : state) {
    bin.push_back(spawnAndWait({"/bin/true"}, gEnv));
    alone.push_back(spawnAndWait(hook, gNoAppEnv));
    int served = gServed;
    app.push_back(spawnAndWait(hook, gEnv));
    // The listener's reading is the app's work, not the hook's: let it end before the next start.
    for (int i = 0; i < 1000 && gServed == served; ++i) std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (bin.back() < 0 || app.back() < 0 || alone.back() < 0) {
      state.SkipWithError("cannot start the program");
      break;
    }
  }
  if (bin.empty()) return;
  state.counters["true_us"] = median(bin);
  state.counters["hook_us"] = median(app);
  state.counters["hook_no_app_us"] = median(alone);
}

void BM_Python(benchmark::State& state) {
  for (auto _ : state)
    if (spawnAndWait({"/usr/bin/python3", "-c", kPython, kPayload}, gEnv) < 0) state.SkipWithError("no python3");
}

BENCHMARK(BM_StartUp)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(600);
BENCHMARK(BM_Python)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/gt-hook-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  gHome = tmpl;
  std::filesystem::create_directories(gHome + "/.glowticker/run");
  gEnv = {"HOME=" + gHome, "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
  std::filesystem::create_directories(gHome + "/no-app");
  gNoAppEnv = {"HOME=" + gHome + "/no-app", "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
  std::thread listener(serve, gHome + "/.glowticker/run/events.sock");

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  gStop = true;
  listener.join();
  std::filesystem::remove_all(gHome);
  return 0;
}

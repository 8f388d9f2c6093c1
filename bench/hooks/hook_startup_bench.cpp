// Whole-process time of the hook the agents run, beside /bin/true and a Python one-liner doing the
// same send, with an app-like listener reading the event socket on a temporary HOME.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string gHome;
std::vector<std::string> gEnv;
std::atomic<bool> gStop{false};

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
  }
  ::close(fd);
}

void runOnce(benchmark::State& state, std::vector<std::string> args) {
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : gEnv) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    pid_t pid;
    if (::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) {
      state.SkipWithError("cannot start the program");
      break;
    }
    int status;
    ::waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&fa);
}

void BM_BinTrue(benchmark::State& state) { runOnce(state, {"/bin/true"}); }
void BM_Hook(benchmark::State& state) { runOnce(state, {GT_HOOK_EXE, "--agent", "codex", kPayload}); }
void BM_Python(benchmark::State& state) { runOnce(state, {"/usr/bin/python3", "-c", kPython, kPayload}); }

constexpr int kReps = 15;
BENCHMARK(BM_BinTrue)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(40)->Repetitions(kReps);
BENCHMARK(BM_Hook)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(40)->Repetitions(kReps);
BENCHMARK(BM_Python)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(4)->Repetitions(kReps);

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/gt-hook-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  gHome = tmpl;
  std::filesystem::create_directories(gHome + "/.glowticker/run");
  gEnv = {"HOME=" + gHome, "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
  std::thread listener(serve, gHome + "/.glowticker/run/events.sock");

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  gStop = true;
  listener.join();
  std::filesystem::remove_all(gHome);
  return 0;
}

// Remote logging: the cost of one Trace and one Info call through the remote log client while
// the log server is connected and while it is down (median and p99 of single calls, in ns), beside
// the same calls through the local file writer (a child process without a log server); and the
// records per second delivered to the reference server (snllogd, a separate process) on loopback,
// beside spdlog's tcp_sink shipping lines of the same length to a loopback reader. Prints the
// ratios last. Also the time a process that logged 1,000 lines takes to end (from its exit() to
// its reaping by the parent) with the server up and down, beside the same process without
// logging (the floor: exit and wait alone). Needs root (private network and mount namespaces); run through bench/run.sh.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spdlog/sinks/tcp_sink.h>
#include <spdlog/spdlog.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/KRemoteLogClient.h"

namespace {

using Clock = std::chrono::steady_clock;

#define BODY_FORMAT "Device %d, GetStatus CMD sent, return: %d (bench line %08d)"
// "I|dd/mm/yyyy hh:mm:ss.mmm| " + body + "\n", the body of a fixed length.
const size_t kLineBytes = [] {
  char body[128];
  return 27 + static_cast<size_t>(snprintf(body, sizeof body, BODY_FORMAT, 3, 1, 0)) + 1;
}();
constexpr int kBurst = 100;  // calls timed one by one, then the queue drains (untimed)
constexpr int kBursts = 1000;
constexpr int kShipped = 200000;  // lines for the throughput runs
constexpr uint16_t kPort = 14110;
constexpr uint16_t kSpdlogPort = 14111;

struct Latency {
  double median = 0, p99 = 0;
};

// Results of the child (local file writer): trace, info.
Latency g_local[2];
Latency g_up[2];
Latency g_down[2];
double g_remoteRate = 0;
double g_exitMs[3] = {0, 0, 0};  // server up, server down, no logging
double g_spdlogRate = 0;
pid_t g_server = -1;

Latency Summarise(std::vector<double>& ns) {
  std::sort(ns.begin(), ns.end());
  return {ns[ns.size() / 2], ns[ns.size() * 99 / 100]};
}

dodudo::KRemoteLogClient* Client() {
  return dynamic_cast<dodudo::KRemoteLogClient*>(KLogManager::GetMe(false));
}

void WaitDrained() {
  dodudo::KRemoteLogClient* client = Client();
  while (client != nullptr && client->Waiting() != 0 && client->Connected())
    std::this_thread::sleep_for(std::chrono::microseconds(200));
}

// Times single calls in bursts; between bursts the remote queue drains (when connected).
Latency TimeCalls(KLogger& log, bool info) {
  std::vector<double> ns;
  ns.reserve(kBurst * kBursts);
  int n = 0;
  for (int burst = 0; burst < kBursts; ++burst) {
    for (int i = 0; i < kBurst; ++i) {
      auto start = Clock::now();
      if (info) {
        log.Info(BODY_FORMAT, 3, 1, n++);
      } else {
        log.Trace(BODY_FORMAT, 3, 1, n++);
      }
      ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
    }
    WaitDrained();
  }
  return Summarise(ns);
}

void SetLatencyCounters(benchmark::State& state, const Latency& latency) {
  state.counters["median_ns"] = latency.median;
  state.counters["p99_ns"] = latency.p99;
}

bool Accepts(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// snllogd in a mount namespace of its own: no RemoteLogHost in its klog.cfg, its log directory
// the benchmark's /var/log/tolma/server.
void StartServer() {
  mkdir("/var/log/tolma/server", 0755);
  g_server = fork();
  if (g_server == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/etc/tolma", "tmpfs", 0, "mode=0755") ||
        mount("/var/log/tolma/server", "/var/log/tolma", nullptr, MS_BIND, nullptr)) {
      _exit(120);
    }
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execl(SNLLOGD_PATH, SNLLOGD_PATH, static_cast<char*>(nullptr));
    _exit(122);
  }
  while (!Accepts(kPort)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void StopServer() {
  kill(g_server, SIGTERM);
  waitpid(g_server, nullptr, 0);
}

KLogger& Remote() {
  static KLogger* log = new KLogger(klogSNL, -1, "SNL", "bench", 0, false);
  return *log;
}

void BM_RemoteConnected(benchmark::State& state, bool info) {
  for (auto _ : state) {
    Remote().Notice("connect");
    while (!Client()->Connected()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g_up[info] = TimeCalls(Remote(), info);
  }
  SetLatencyCounters(state, g_up[info]);
}

void BM_RemoteServerDown(benchmark::State& state, bool info) {
  for (auto _ : state) {
    StopServer();
    while (Client()->Connected()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g_down[info] = TimeCalls(Remote(), info);
    StartServer();
    Remote().Notice("again");
    while (!Client()->Connected() || Client()->Waiting() != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  SetLatencyCounters(state, g_down[info]);
}

long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Records per second from the first call to the last line in the server's file. The producer
// never lets the queue overflow, so every line is delivered.
void BM_RemoteDelivered(benchmark::State& state) {
  KLogger ship(klogSNL, -1, "SNL", "shipped", 0, false);
  std::string path = "/var/log/tolma/server/remote/127.0.0.1/shipped.log";
  dodudo::KRemoteLogClient* client = Client();
  for (auto _ : state) {
    long before = FileSize(path);
    long expected = before + static_cast<long>(kShipped * kLineBytes);
    auto start = Clock::now();
    for (int i = 0; i < kShipped; ++i) {
      while (client->Waiting() >= dodudo::KRemoteLogClient::kQueueSize - 1) sched_yield();
      ship.Info(BODY_FORMAT, 3, 1, i);
    }
    while (FileSize(path) < expected) std::this_thread::sleep_for(std::chrono::microseconds(200));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    g_remoteRate = kShipped / seconds;
  }
  state.counters["records_per_s"] = g_remoteRate;
}

// spdlog's tcp_sink, one send per line, to a reader that only counts bytes.
void BM_SpdlogTcpSink(benchmark::State& state) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kSpdlogPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0) {
    state.SkipWithError("cannot listen");
    return;
  }
  for (auto _ : state) {
    std::atomic<long> received{0};
    std::thread reader([&] {
      int fd = accept(listener, nullptr, nullptr);
      char buffer[64 * 1024];
      for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) received += n;
      close(fd);
    });
    auto sink = std::make_shared<spdlog::sinks::tcp_sink_mt>(
        spdlog::sinks::tcp_sink_config("127.0.0.1", kSpdlogPort));
    spdlog::logger logger("tcp", sink);
    logger.set_pattern("%L|%d/%m/%Y %H:%M:%S.%e| %v");
    auto start = Clock::now();
    for (int i = 0; i < kShipped; ++i)
      logger.info("Device {}, GetStatus CMD sent, return: {} (bench line {:08d})", 3, 1, i);
    long expected = static_cast<long>(kShipped * kLineBytes);
    while (received.load() < expected) std::this_thread::sleep_for(std::chrono::microseconds(200));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    g_spdlogRate = kShipped / seconds;
    sink.reset();
    logger.sinks().clear();
    reader.join();
  }
  close(listener);
  state.counters["records_per_s"] = g_spdlogRate;
}

// The local file writer, in a child process with no log server configured (its own /etc/tolma).
// Returns trace and info latencies through a pipe; its benchmark lines are printed as it runs.
void MeasureLocal() {
  int results[2];
  if (pipe(results) != 0) return;
  pid_t child = fork();
  if (child == 0) {
    close(results[0]);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/etc/tolma", "tmpfs", 0, "mode=0755")) {
      _exit(1);
    }
    KLogger* log = new KLogger(klogSNL, -1, "SNL", "bench_local", 0, false);
    Latency local[2] = {TimeCalls(*log, false), TimeCalls(*log, true)};
    if (write(results[1], local, sizeof local) != sizeof local) _exit(1);
    _exit(0);
  }
  close(results[1]);
  if (read(results[0], g_local, sizeof g_local) != sizeof g_local)
    fprintf(stderr, "no local run\n");
  close(results[0]);
  waitpid(child, nullptr, 0);
}

// A child that logs 1,000 lines (with the server up, letting the queue drain when it fills, so
// none is dropped) and exits; the milliseconds from its exit() to its reaping.
double ExitTimeMs(bool log) {
  int gate[2];
  if (pipe(gate) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    if (log) {
      auto* logger = new KLogger(klogSNL, -1, "SNL", "exit", 0, false);
      for (int i = 0; i < 1000; ++i) {
        logger->Info(BODY_FORMAT, 3, 1, i);
        auto give = Clock::now() + std::chrono::milliseconds(100);
        while (Client()->Connected() && Client()->Waiting() >= 140 && Clock::now() < give)
          std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
    (void)!write(gate[1], "x", 1);
    exit(0);
  }
  close(gate[1]);
  char byte;
  (void)!read(gate[0], &byte, 1);
  auto start = Clock::now();
  waitpid(pid, nullptr, 0);
  close(gate[0]);
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// 0: server up, 1: server down, 2: no logging.
void BM_ExitTime(benchmark::State& state, int mode) {
  for (auto _ : state) {
    if (mode == 1) StopServer();
    double total = 0;
    for (int run = 0; run < 5; ++run) total += ExitTimeMs(mode != 2);
    g_exitMs[mode] = total / 5;
    if (mode == 1) StartServer();
  }
  state.counters["exit_ms"] = g_exitMs[mode];
}

void BM_LocalFileWriter(benchmark::State& state, bool info) {
  for (auto _ : state) {
    if (!info) MeasureLocal();
  }
  SetLatencyCounters(state, g_local[info]);
}

// A private network namespace (fixed ports never clash with the machine's) with loopback up.
bool PrivateLoopback() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
            (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
  close(fd);
  return up;
}

}  // namespace

BENCHMARK_CAPTURE(BM_LocalFileWriter, Trace, false)->Iterations(1);
BENCHMARK_CAPTURE(BM_LocalFileWriter, Info, true)->Iterations(1);
BENCHMARK_CAPTURE(BM_RemoteConnected, Trace, false)->Iterations(1);
BENCHMARK_CAPTURE(BM_RemoteConnected, Info, true)->Iterations(1);
BENCHMARK_CAPTURE(BM_RemoteServerDown, Trace, false)->Iterations(1);
BENCHMARK_CAPTURE(BM_RemoteServerDown, Info, true)->Iterations(1);
BENCHMARK(BM_RemoteDelivered)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpdlogTcpSink)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExitTime, ServerUp, 0)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExitTime, ServerDown, 1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExitTime, NoLogging, 2)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  if (!PrivateLoopback()) {
    fprintf(stderr, "needs root: run through bench/run.sh\n");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  mkdir("/etc/tolma", 0755);
  mkdir("/etc/tolma/config", 0755);
  std::ofstream("/etc/tolma/config/klog.cfg")
      << "RemoteLogHost=127.0.0.1\nRemoteLogPort=" << kPort << "\n";
  StartServer();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  StopServer();
  printf("\nRatios (goal: down p99 within 2x of connected p99; delivered >= 2x spdlog tcp_sink)\n");
  const char* names[2] = {"Trace", "Info"};
  for (int i = 0; i < 2; ++i) {
    printf(
        "  %-5s p99 server down / connected: %.2f   connected / local file writer: %.2f "
        "(medians %.0f / %.0f / %.0f ns)\n",
        names[i], g_down[i].p99 / g_up[i].p99, g_up[i].p99 / g_local[i].p99, g_up[i].median,
        g_down[i].median, g_local[i].median);
  }
  printf("  delivered records/s, remote client / spdlog tcp_sink: %.2f (%.0f / %.0f)\n",
         g_remoteRate / g_spdlogRate, g_remoteRate, g_spdlogRate);
  printf("  exit after 1,000 lines (goal: < 100 ms up, < 1100 ms down): up %.1f ms, down %.1f ms, "
         "no logging %.1f ms (up / no logging: %.1f)\n",
         g_exitMs[0], g_exitMs[1], g_exitMs[2], g_exitMs[0] / g_exitMs[2]);
  return 0;
}

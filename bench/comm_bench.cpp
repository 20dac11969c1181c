// Round trip of a comm command with a 32-byte payload (KCommClient::SendCommand against the
// commsim server, a separate process, over the plain and the buffered transport) beside the
// floor of a raw TCP request/response ping-pong of the same bytes and a ZeroMQ REQ/REP round
// trip; and events per second pushed by the server and delivered to the client's callback.
// Each round trip is measured twice in the same run: on an idle machine, and beside a background
// load (one busy process per processor at the lowest priority, which keeps every core out of
// its idle states as a busy machine does, while taking little time from the measured threads).
// Run through bench/run.sh, which gives it a private /var/log. Prints medians, p99 and ratios.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <linux/close_range.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/comm/KCommClient.h"
#include "tools/commsim/Server.h"

namespace {

constexpr unsigned int kPayload = 32;
// A command on the comm wire: the 4-byte frame count, the 17-byte envelope header, the payload.
constexpr unsigned int kFrame = 4 + 17 + kPayload;
constexpr int kRoundTrips = 20000;
constexpr int kEvents = 20000;

using Clock = std::chrono::steady_clock;

struct Stats {
  double median = 0, p99 = 0, rate = 0;
};
std::map<std::string, Stats> results;

// One busy process per processor at nice 19 while it lives.
class BackgroundLoad {
 public:
  explicit BackgroundLoad(bool on) {
    if (!on) return;
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    for (long n = 0; n < cpus; ++n) {
      pid_t pid = fork();
      if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Holding no socket of the parent, whose peers must see it closed.
        close_range(3, ~0U, 0);
        setpriority(PRIO_PROCESS, 0, 19);
        for (volatile unsigned long spin = 0;; spin = spin + 1) {
        }
      }
      if (pid > 0) children_.push_back(pid);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ~BackgroundLoad() {
    for (pid_t pid : children_) kill(pid, SIGKILL);
    for (pid_t pid : children_) waitpid(pid, nullptr, 0);
  }
  BackgroundLoad(const BackgroundLoad&) = delete;
  BackgroundLoad& operator=(const BackgroundLoad&) = delete;

 private:
  std::vector<pid_t> children_;
};

std::string Named(const char* name, bool loaded) {
  return loaded ? std::string(name) + "/loaded" : std::string(name);
}

void Record(benchmark::State& state, const std::string& name, std::vector<double>& samples) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  Stats stats;
  stats.median = samples[samples.size() / 2];
  stats.p99 = samples[samples.size() * 99 / 100];
  state.counters["median_us"] = stats.median;
  state.counters["p99_us"] = stats.p99;
  results[name] = stats;
}

double Micros(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

bool ReadAll(int fd, unsigned char* data, size_t size) {
  while (size != 0) {
    ssize_t n = recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size != 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void NoDelay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// The floor: one write and one read of the same 53 bytes each way, an echoing thread behind.
void BM_RawTcpPingPong(benchmark::State& state) {
  const bool loaded = state.range(0) != 0;
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener, 1);
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::thread server([listener] {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    NoDelay(fd);
    unsigned char frame[kFrame];
    while (ReadAll(fd, frame, sizeof frame) && WriteAll(fd, frame, sizeof frame)) {
    }
    close(fd);
  });
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  NoDelay(fd);
  unsigned char frame[kFrame] = {};
  std::vector<double> samples;
  samples.reserve(kRoundTrips);
  BackgroundLoad load(loaded);
  for (auto _ : state) {
    auto start = Clock::now();
    if (!WriteAll(fd, frame, sizeof frame) || !ReadAll(fd, frame, sizeof frame)) {
      state.SkipWithError("raw TCP round trip failed");
      break;
    }
    samples.push_back(Micros(start));
  }
  close(fd);
  server.join();
  close(listener);
  Record(state, Named("raw", loaded), samples);
}

void BM_ZmqReqRep(benchmark::State& state) {
  const bool loaded = state.range(0) != 0;
  const char* endpoint = loaded ? "tcp://127.0.0.1:14302" : "tcp://127.0.0.1:14301";
  void* context = zmq_ctx_new();
  void* reply = zmq_socket(context, ZMQ_REP);
  zmq_bind(reply, endpoint);
  std::thread server([reply] {
    unsigned char frame[kFrame];
    for (;;) {
      int n = zmq_recv(reply, frame, sizeof frame, 0);
      if (n < 0 || zmq_send(reply, frame, static_cast<size_t>(n), 0) < 0) break;
    }
  });
  void* request = zmq_socket(context, ZMQ_REQ);
  zmq_connect(request, endpoint);
  unsigned char frame[kFrame] = {};
  std::vector<double> samples;
  samples.reserve(kRoundTrips);
  BackgroundLoad load(loaded);
  for (auto _ : state) {
    auto start = Clock::now();
    if (zmq_send(request, frame, sizeof frame, 0) < 0 ||
        zmq_recv(request, frame, sizeof frame, 0) < 0) {
      state.SkipWithError("ZeroMQ round trip failed");
      break;
    }
    samples.push_back(Micros(start));
  }
  zmq_close(request);
  zmq_ctx_shutdown(context);  // ends the server's zmq_recv
  server.join();
  zmq_close(reply);
  zmq_ctx_term(context);
  Record(state, Named("zmq", loaded), samples);
}

// commsim in a child process, quiet (no trace lines), on a fixed port.
class CommSim {
 public:
  explicit CommSim(unsigned int port) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(out[1], 1);
      std::string text = std::to_string(port);
      execl(COMMSIM_PATH, COMMSIM_PATH, "--quiet", "--port", text.c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    char line[128];
    FILE* in = fdopen(out[0], "r");
    ready_ = in != nullptr && fgets(line, sizeof line, in) != nullptr;
    if (in != nullptr) fclose(in);
  }
  ~CommSim() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

class Payload32 : public dodudo::KSerializable {
 public:
  void Serialize(dodudo::KSerializer& serializer) override {
    serializer.Write(bytes_, sizeof bytes_);
  }

 private:
  unsigned char bytes_[kPayload] = {};
};

std::atomic<int> delivered{0};
void CountEvent(comm::KCommClient*, comm::KEnvelope&, unsigned int) { ++delivered; }

bool ConnectQuiet(comm::KCommClient& client, unsigned int port) {
  KLogger::OverwriteOption(klogZ7MClient, 0);
  try {
    client.Connect("bench", "127.0.0.1", port, comm::KHelloMsg::Z7M_SERVER, 1, 0, 0, 5000, true);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void BM_CommSendCommand(benchmark::State& state) {
  const bool buffered = state.range(0) != 0;
  const bool loaded = state.range(1) != 0;
  const unsigned int port = (buffered ? 14311 : 14310) + (loaded ? 10 : 0);
  CommSim server(port);
  comm::KCommClient client("commbench", buffered);
  if (!server.Ready() || !ConnectQuiet(client, port)) {
    state.SkipWithError("commsim not reachable");
    return;
  }
  Payload32 payload;
  std::vector<double> samples;
  samples.reserve(kRoundTrips);
  BackgroundLoad load(loaded);
  for (auto _ : state) {
    auto start = Clock::now();
    int result = client.SendCommand(commsim::SIM_MODULE, commsim::SIM_ECHO, 0, 0, payload);
    if (result != 0) {
      state.SkipWithError(("command failed: " + std::to_string(result)).c_str());
      break;
    }
    samples.push_back(Micros(start));
  }
  client.Shutdown();
  Record(state, Named(buffered ? "buffered" : "plain", loaded), samples);
}

void BM_CommEvents(benchmark::State& state) {
  CommSim server(14312);
  comm::KCommClient client("commbench");
  if (!server.Ready() || !ConnectQuiet(client, 14312)) {
    state.SkipWithError("commsim not reachable");
    return;
  }
  client.RequestEvents(CountEvent, true);
  dodudo::KEmptyData empty;
  double seconds = 0;
  long total = 0;
  for (auto _ : state) {
    delivered = 0;
    auto start = Clock::now();
    if (client.SendCommand(commsim::SIM_MODULE, commsim::SIM_PUSH, kEvents, 0, empty) != 0) {
      state.SkipWithError("push failed");
      break;
    }
    while (delivered < kEvents) std::this_thread::sleep_for(std::chrono::microseconds(200));
    seconds += Micros(start) / 1e6;
    total += kEvents;
  }
  client.Shutdown();
  if (seconds > 0) {
    state.counters["events_per_s"] = static_cast<double>(total) / seconds;
    results["events"].rate = static_cast<double>(total) / seconds;
  }
}

// Argument "loaded": 0 idle, 1 beside the background load.
BENCHMARK(BM_RawTcpPingPong)->Arg(0)->Arg(1)->Iterations(kRoundTrips)->UseRealTime();
BENCHMARK(BM_ZmqReqRep)->Arg(0)->Arg(1)->Iterations(kRoundTrips)->UseRealTime();
// Arguments "buffered" and "loaded".
BENCHMARK(BM_CommSendCommand)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(kRoundTrips)
    ->UseRealTime();
BENCHMARK(BM_CommEvents)->Iterations(5)->UseRealTime();

void PrintRatio(const char* label, const std::string& a, const std::string& b) {
  if (!results.count(a) || !results.count(b)) return;
  std::printf("  %-34s median %5.2fx   p99 %5.2fx\n", label, results[a].median / results[b].median,
              results[a].p99 / results[b].p99);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  for (const char* suffix : {"", "/loaded"}) {
    const std::string tail = suffix;
    std::printf("\nRound trips (us), %s:\n", tail.empty() ? "idle" : "beside the background load");
    for (const char* name : {"raw", "zmq", "plain", "buffered"})
      if (results.count(name + tail))
        std::printf("  %-10s median %7.1f   p99 %7.1f\n", name, results[name + tail].median,
                    results[name + tail].p99);
    std::printf("Ratios (lower is faster for the first):\n");
    PrintRatio("SendCommand plain / raw TCP", "plain" + tail, "raw" + tail);
    PrintRatio("SendCommand buffered / raw TCP", "buffered" + tail, "raw" + tail);
    PrintRatio("SendCommand plain / ZeroMQ", "plain" + tail, "zmq" + tail);
    PrintRatio("SendCommand buffered / ZeroMQ", "buffered" + tail, "zmq" + tail);
    PrintRatio("ZeroMQ / raw TCP", "zmq" + tail, "raw" + tail);
  }
  if (results.count("events"))
    std::printf("\nEvents delivered to the callback: %.0f per second\n", results["events"].rate);
  return 0;
}

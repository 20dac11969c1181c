// The log server's intake: lines per second into snllogd from 1, 8 and 64 client processes, each
// line written to its file, beside rsyslogd's TCP input (imtcp) writing the same lines to a file
// with the template "%msg%\n", in the same run. Clients send 90-byte lines gathered into 64 KiB
// writes (as the library's flush thread gathers what is queued) or with one send(2) per line.
// Each run starts a fresh server, releases every client at once, and ends when the file has
// stopped growing; the file's lines are counted (lost = sent - written) and the server's peak
// resident memory is read. Needs root (private network and mount namespaces) and Debian's
// rsyslog; run through bench/run.sh.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <poll.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/KLogMessage.h"
#include "DOdudo/LB9/Basics/KBuffer.h"
#include "RateReporter.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kSnllogdPort = 14110;
constexpr uint16_t kRsyslogPort = 14514;
constexpr long kLines = 400000;  // per run, shared among the clients
constexpr size_t kBatch = 64 * 1024;
const char kRsyslogConf[] = "/var/log/bench/rsyslog.conf";
const char kRsyslogFile[] = "/var/log/bench/rsyslog.log";
const char kSnllogdFile[] = "/var/log/tolma/remote/127.0.0.1/bench.log";

// Line n of a client: 90 bytes with the line end, as a logger writes it.
std::string Line(int client, long n) {
  char line[128];
  snprintf(line, sizeof line, "I|06/12/2026 21:00:00.123|BENCH   | client %02d line %08ld %s", client,
           n, "payload payload payload pay");
  std::string text(line);
  text.resize(89, '.');
  return text + "\n";
}

bool PrivateLoopback() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP | IFF_RUNNING;
  up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return up;
}

int Connect(uint16_t port) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

long FileSize(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_size : 0;
}

long CountLines(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  long lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

long PeakKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

pid_t Spawn(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> pointers;
    for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  return pid;
}

void End(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

enum class Server { kSnllogd, kRsyslog };

// What client `index` sends: framed records for snllogd, syslog lines for rsyslogd.
std::string Payload(Server server, int index, long lines) {
  std::string bytes;
  for (long n = 0; n < lines; ++n) {
    if (server == Server::kSnllogd) {
      dodudo::KLogMessage record("bench", Line(index, n).c_str());
      dodudo::KStringSerializer::AppendFrame(bytes, record);
    } else {
      bytes += "<14>Dec  6 21:00:00 host bench: " + Line(index, n);
    }
  }
  return bytes;
}

// One run: a fresh server, `clients` processes released together, until the file stops growing.
void BM_Intake(benchmark::State& state, Server server, int clients, bool batched) {
  const char* file = server == Server::kSnllogd ? kSnllogdFile : kRsyslogFile;
  for (auto _ : state) {
    unlink(file);
    pid_t daemon = server == Server::kSnllogd
                       ? Spawn({SNLLOGD_PATH})
                       : Spawn({"/usr/sbin/rsyslogd", "-n", "-i", "/var/log/bench/rsyslog.pid",
                                "-f", kRsyslogConf});
    uint16_t port = server == Server::kSnllogd ? kSnllogdPort : kRsyslogPort;
    int gate[2], ready[2];
    if (pipe(gate) != 0 || pipe(ready) != 0) return state.SkipWithError("pipe");
    std::vector<pid_t> children;
    const long each = kLines / clients;
    for (int c = 0; c < clients; ++c) {
      pid_t child = fork();
      if (child == 0) {
        close(gate[1]);
        close(ready[0]);
        signal(SIGPIPE, SIG_IGN);
        signal(SIGPIPE, SIG_IGN);
        std::string bytes = Payload(server, c, each);
        size_t lineBytes = bytes.size() / static_cast<size_t>(each);
        int fd = Connect(port);
        char go;
        if (fd < 0 || write(ready[1], "r", 1) != 1 || read(gate[0], &go, 1) < 0) _exit(1);
        size_t step = batched ? kBatch : lineBytes;
        for (size_t at = 0; at < bytes.size();) {
          ssize_t n = send(fd, bytes.data() + at, std::min(step, bytes.size() - at), MSG_NOSIGNAL);
          if (n <= 0) _exit(2);
          at += static_cast<size_t>(n);
        }
        // Sent; the connection stays until the parent ends us: a client that closed with the
        // server's pushed filter unread would reset it, and the server could lose what it had
        // not read yet.
        if (write(ready[1], "d", 1) != 1) _exit(3);
        while (read(fd, &go, 1) > 0) {
        }
        _exit(0);
      }
      children.push_back(child);
    }
    close(gate[0]);
    close(ready[1]);
    char mark;
    for (int c = 0; c < clients; ++c) {  // every client connected, its bytes ready
      if (read(ready[0], &mark, 1) != 1) {
        for (pid_t child : children) End(child);
        End(daemon);
        return state.SkipWithError("a client failed");
      }
    }
    auto start = Clock::now();
    close(gate[1]);
    // The file is watched until it holds every line (each line of the file has the length of its
    // first one), or has not grown for three seconds after every client has sent all.
    auto grewAt = start;
    long size = FileSize(file), target = -1;
    int sent = 0;
    for (auto quietSince = Clock::now(); size != target;) {
      if (sent == clients && Clock::now() - quietSince > std::chrono::seconds(3)) break;
      pollfd entry{ready[0], POLLIN, 0};
      if (sent < clients && poll(&entry, 1, 1) == 1 && read(ready[0], &mark, 1) == 1) ++sent;
      if (sent == clients) std::this_thread::sleep_for(std::chrono::microseconds(500));
      long now = FileSize(file);
      if (now != size) {
        size = now;
        grewAt = quietSince = Clock::now();
      }
      if (target < 0 && size > 0) {
        std::ifstream in(file);
        std::string first;
        std::getline(in, first);
        target = static_cast<long>(first.size() + 1) * each * clients;
      }
    }
    close(ready[0]);
    state.SetIterationTime(std::chrono::duration<double>(grewAt - start).count());
    long written = CountLines(file);
    state.counters["lost"] = static_cast<double>(each * clients - written);
    state.counters["server_peak_MiB"] = static_cast<double>(PeakKb(daemon)) / 1024;
    state.SetItemsProcessed(written);
    for (pid_t child : children) End(child);
    End(daemon);
  }
}

void WriteRsyslogConf() {
  mkdir("/var/log/bench", 0755);
  std::ofstream(kRsyslogConf)
      << "global(workDirectory=\"/var/log/bench\")\n"
         "module(load=\"imtcp\" MaxSessions=\"1000\")\n"
         "template(name=\"msgonly\" type=\"string\" string=\"%msg%\\n\")\n"
         "ruleset(name=\"bench\") {\n"
         "  action(type=\"omfile\" file=\""
      << kRsyslogFile
      << "\" template=\"msgonly\")\n"
         "}\n"
         "input(type=\"imtcp\" port=\""
      << kRsyslogPort << "\" ruleset=\"bench\")\n";
}

void Register() {
  for (bool batched : {true, false}) {
    for (int clients : {1, 8, 64}) {
      for (Server server : {Server::kSnllogd, Server::kRsyslog}) {
        std::string name = std::string(server == Server::kSnllogd ? "snllogd" : "rsyslog_imtcp") +
                           (batched ? "/batched/" : "/per_line/") + std::to_string(clients);
        benchmark::RegisterBenchmark(name.c_str(), BM_Intake, server, clients, batched)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!PrivateLoopback()) {
    fprintf(stderr, "needs root: run through bench/run.sh\n");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  if (access("/usr/sbin/rsyslogd", X_OK) != 0) {
    fprintf(stderr, "needs rsyslogd (apt-get install rsyslog)\n");
    return 1;
  }
  WriteRsyslogConf();
  Register();
  benchmark::Initialize(&argc, argv);
  snlbench::RateReporter reporter("lines/s");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  printf("\nRatios (goal: snllogd at least rsyslog's imtcp at every client count)\n");
  for (const char* mode : {"batched", "per_line"}) {
    for (int clients : {1, 8, 64}) {
      std::string suffix = std::string("/") + mode + "/" + std::to_string(clients) +
                           "/iterations:1/manual_time";
      reporter.PrintRatio(std::string("snllogd / rsyslog imtcp, ") + mode + ", " +
                              std::to_string(clients) + " clients",
                          "snllogd" + suffix, "rsyslog_imtcp" + suffix);
    }
  }
  return 0;
}

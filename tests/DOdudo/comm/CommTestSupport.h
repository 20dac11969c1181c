#pragma once

// Helpers of the comm tests: loopback connections between a channel under test and a raw peer,
// a receiving thread, the log lines of a module, and the commsim server as a real process.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"
#include "DOdudo/LogTestSupport.h"
#include "DOdudo/LB9/KIPC/KBufferSerializerStream.h"
#include "DOdudo/comm/KCommChannel.h"
#include "DOdudo/comm/KCommClient.h"
#include "support/LoopbackPeer.h"

namespace commtest {

using logtest::WaitFor;
using Clock = std::chrono::steady_clock;

// The client's connection to the server on 127.0.0.1:14200, and an ECHO command (module 20,
// code 1) whose result is g.
inline void Connect(comm::KCommClient& client, unsigned int timeoutMs = 5000) {
  client.Connect("app", "127.0.0.1", 14200, comm::KHelloMsg::Z7M_SERVER, 1, 0, 0, timeoutMs, true);
}
inline int Echo(comm::KCommClient& client, int32_t g) {
  return client.SendCommand(20, 1, g, 0, dodudo::kstring("x"));
}
inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// How many lines of /var/log/tolma/<module>.log read "<level letter> <text...>" once the time
// header is cut off.
inline int Count(const std::string& module, const std::string& text) {
  int count = 0;
  for (const std::string& line : logtest::LogLines(module + ".log")) {
    auto bar = line.find("| ");
    std::string bare =
        line.substr(0, 1) + " " + (bar == std::string::npos ? line : line.substr(bar + 2));
    count += bare.find(text) != std::string::npos;
  }
  return count;
}

// An envelope's description without its packet id: "m1,c3,g0,i7 sz=0)".
inline std::string Shape(const comm::KEnvelope& envelope) {
  std::string text = envelope.Description();
  return text.substr(text.find(',') + 1);
}

// A listening socket on 127.0.0.1 and a connected pair: the near end (for the channel under
// test), then the peer.
class Link {
 public:
  std::pair<dodudo::KIpcChannel*, dodudo::KIpcChannel*> Pair() {
    auto* near = new dodudo::KSocketIpcChannel("127.0.0.1", listener_.Port());
    int fd = listener_.Accept(), on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto* socket = new dodudo::KClientSocket();
    socket->Assign(fd, "127.0.0.1");
    return {near, new dodudo::KSocketIpcChannel(socket)};
  }

 private:
  snltest::LoopbackListener listener_;
};

// Runs the receiving loop of a channel and keeps what it returns.
class Receiver {
 public:
  explicit Receiver(comm::KCommChannel& channel) : channel_(channel) {
    thread_ = std::thread([this] {
      comm::KEnvelope envelope;
      while (channel_.Receive(envelope)) {
        std::lock_guard<std::mutex> lock(mutex_);
        got_.push_back(envelope);
      }
      ended_ = true;
      channel_.SignTermination();
    });
  }
  ~Receiver() {
    channel_.ClearConnection();
    thread_.join();
  }
  size_t Got() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_.size();
  }
  std::atomic<bool> ended_{false};

 private:
  comm::KCommChannel& channel_;
  std::mutex mutex_;
  std::vector<comm::KEnvelope> got_;
  std::thread thread_;
};

// An envelope as it crosses the wire: its 32-bit count, then its bytes.
inline std::string Frame(const comm::KEnvelope& envelope) {
  dodudo::KBufferSerializerStream stream;
  stream.StoreFrame(envelope);
  return std::string(reinterpret_cast<const char*>(stream.Data()), stream.Size());
}
inline std::string HelloFrame() {
  return Frame(comm::KEnvelope(comm::COMM_MODULE, comm::COMM_HELLOV2, -1, -1,
                               comm::KHelloMsg(comm::KHelloMsg::Z7M_SERVER, 1, 0, 0)));
}
// One whole frame from fd (empty when the stream ends first): count and bytes.
inline std::string ReadFrame(int fd) {
  std::string head = snltest::ReadBytes(fd, 4, 30000);
  if (head.size() < 4) return "";
  const uint32_t count = static_cast<unsigned char>(head[0]) |
                         static_cast<unsigned char>(head[1]) << 8 |
                         static_cast<unsigned char>(head[2]) << 16 |
                         static_cast<uint32_t>(static_cast<unsigned char>(head[3])) << 24;
  return head + snltest::ReadBytes(fd, count, 30000);
}
// The code of an envelope frame (offset 3 of the envelope, after the count).
inline int CodeOf(const std::string& frame) {
  return frame.size() < 9 ? -1
                          : static_cast<unsigned char>(frame[7]) |
                                static_cast<unsigned char>(frame[8]) << 8;
}
// Hello, the client's REMOTE_ID and the answer "app-0[0]": the client's whole handshake.
inline bool ServeHandshake(int fd) {
  if (!snltest::WriteAll(fd, HelloFrame()) || CodeOf(ReadFrame(fd)) != comm::COMM_REMOTE_ID)
    return false;
  return snltest::WriteAll(
      fd, Frame(comm::KEnvelope(comm::COMM_MODULE, comm::COMM_REMOTE_ID, -1, -1,
                                dodudo::kstring("app-0[0]"))));
}

// A scripted server as a separate process on 127.0.0.1:port: it listens before the constructor
// returns and runs script(fd, n, report) for its n-th connection (from 0), one after the other;
// what a script writes to report (one line per finding) the test reads with NextReport().
class ScriptedPeer {
 public:
  using Script = std::function<void(int fd, int n, int report)>;
  explicit ScriptedPeer(Script script, unsigned int port = 14200) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 || pipe2(report_, O_CLOEXEC) != 0) {
      ::close(fd);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      signal(SIGPIPE, SIG_IGN);
      for (int n = 0;; ++n) {
        int connection = ::accept(fd, nullptr, nullptr);
        if (connection < 0) _exit(1);
        script(connection, n, report_[1]);
        ::close(connection);
      }
    }
    ::close(fd);
    ::close(report_[1]);
    report_[1] = -1;
  }
  ~ScriptedPeer() { Kill(); }
  void Kill() {
    if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    pid_ = -1;
    if (report_[0] >= 0) ::close(report_[0]);
    report_[0] = -1;
  }
  // The next line a script reported, empty when none came within timeoutMs.
  std::string NextReport(int timeoutMs = 10000) {
    std::string line;
    pollfd entry{report_[0], POLLIN, 0};
    char c;
    while (::poll(&entry, 1, timeoutMs) == 1 && ::read(report_[0], &c, 1) == 1 && c != '\n')
      line += c;
    return line;
  }
  static void Report(int report, const std::string& line) {
    std::string text = line + "\n";
    ssize_t written = ::write(report, text.data(), text.size());
    (void)written;
  }

 private:
  pid_t pid_ = -1;
  int report_[2] = {-1, -1};
};

#ifdef COMMSIM_PATH
// commsim as a separate process on 127.0.0.1:port (each test has a network namespace of its
// own, so fixed ports never clash). The constructor returns once the server listens.
class CommSim {
 public:
  // maxFiles: the server's descriptor limit (0: inherited).
  explicit CommSim(std::vector<std::string> args, unsigned int port = 14200,
                   unsigned int maxFiles = 0) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that aborts must not leave its server behind
      dup2(out[1], 1);
      if (maxFiles != 0) {
        rlimit limit{maxFiles, maxFiles};
        setrlimit(RLIMIT_NOFILE, &limit);
      }
      std::vector<std::string> all = {COMMSIM_PATH, "--port", std::to_string(port)};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (auto& arg : all) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = fdopen(out[0], "r");
    if (NextLine().empty()) Kill();
  }
  ~CommSim() { Kill(); }
  pid_t Pid() const { return pid_; }

  // The next line the server prints ("connected <id>"), empty at its end.
  std::string NextLine() {
    char line[256];
    if (out_ == nullptr || fgets(line, sizeof line, out_) == nullptr) return "";
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  void Kill() {
    if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    pid_ = -1;
    if (out_ != nullptr) fclose(out_);
    out_ = nullptr;
  }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};
#endif

}  // namespace commtest

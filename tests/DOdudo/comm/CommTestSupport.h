#pragma once

// Helpers of the comm tests: loopback connections between a channel under test and a raw peer,
// a receiving thread, the log lines of a module, and the commsim server as a real process.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"
#include "DOdudo/LogTestSupport.h"
#include "DOdudo/comm/KCommChannel.h"
#include "support/LoopbackPeer.h"

namespace commtest {

using logtest::WaitFor;

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

#ifdef COMMSIM_PATH
// commsim as a separate process on 127.0.0.1:port (each test has a network namespace of its
// own, so fixed ports never clash). The constructor returns once the server listens.
class CommSim {
 public:
  explicit CommSim(std::vector<std::string> args, unsigned int port = 14200) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that aborts must not leave its server behind
      dup2(out[1], 1);
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

#pragma once

// snllogd run by a test as a separate process, as an operator starts it, and the peers that talk
// to it over real sockets. The test's private namespaces (see support/isolated_main.cpp) give it
// an empty /etc/tolma, /var/log/tolma and a network of its own, so the server uses the default
// directories and port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DOdudo/KLogMessage.h"
#include "DOdudo/LB9/Basics/KBuffer.h"

namespace snllogdtest {

constexpr uint16_t kPort = 14110;

template <typename Predicate>
bool WaitFor(Predicate done, int ms = 10000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline std::string ReadFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// The log of writer `name` from the client at `address`, as snllogd writes it by default.
inline std::string LogOf(const std::string& name, const std::string& address = "127.0.0.1") {
  return ReadFile("/var/log/tolma/remote/" + address + "/" + name + ".log");
}

inline size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// How the server process is started beyond its arguments.
struct Setup {
  rlim_t descriptors = 0;   // RLIMIT_NOFILE (soft and hard), 0: inherited
  rlim_t addressSpace = 0;  // RLIMIT_AS in bytes, 0: none
  // Directories bind-mounted over others in a mount namespace of the server's own (a stand-in
  // journal or syslog socket), as {source, target}.
  std::vector<std::pair<std::string, std::string>> binds;
};

class Snllogd {
 public:
  explicit Snllogd(std::vector<std::string> args = {}, const Setup& setup = {}) {
    char pattern[] = "/tmp/snllogd-test-XXXXXX";
    dir_ = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    std::vector<std::string> argv{SNLLOGD_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    std::string out = dir_ + "/out", err = dir_ + "/err";
    pid_ = fork();
    if (pid_ == 0) {
      // Only system calls between fork and exec: the test may have threads.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (setup.descriptors != 0) {
        rlimit limit{setup.descriptors, setup.descriptors};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(120);
      }
      if (setup.addressSpace != 0) {
        rlimit limit{setup.addressSpace, setup.addressSpace};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(121);
      }
      if (!setup.binds.empty() && unshare(CLONE_NEWNS) != 0) _exit(122);
      for (const auto& bind : setup.binds) {
        if (mount(bind.first.c_str(), bind.second.c_str(), nullptr, MS_BIND, nullptr) != 0)
          _exit(123);
      }
      int outFd = open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
      int errFd = open(err.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
      if (outFd < 0 || errFd < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) _exit(124);
      execv(pointers[0], pointers.data());
      _exit(125);
    }
    WaitFor([&] { return Out().find("listening") != std::string::npos || !Alive(); });
  }
  ~Snllogd() {
    Stop(SIGTERM);
    std::string command = "rm -rf '" + dir_ + "'";
    if (system(command.c_str()) != 0) {
    }
  }
  Snllogd(const Snllogd&) = delete;
  Snllogd& operator=(const Snllogd&) = delete;

  pid_t Pid() const { return pid_; }
  std::string Out() const { return ReadFile(dir_ + "/out"); }
  std::string Err() const { return ReadFile(dir_ + "/err"); }
  void Signal(int signal) const { kill(pid_, signal); }

  bool Alive() {
    if (pid_ <= 0) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == 0) return true;
    status_ = status;
    pid_ = -1;
    return false;
  }
  // Ends the server with a signal; its wait status (-1 when it had ended before, see Status).
  int Stop(int signal) {
    if (!Alive()) return status_;
    kill(pid_, signal);
    waitpid(pid_, &status_, 0);
    pid_ = -1;
    return status_;
  }
  int Status() const { return status_; }

  // Processor time used so far (user and system), in seconds.
  double CpuSeconds() const {
    std::string stat = ReadFile("/proc/" + std::to_string(pid_) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  // The largest resident memory the process had, in KiB.
  long PeakKb() const {
    std::string status = ReadFile("/proc/" + std::to_string(pid_) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// A client of the server on a raw socket: what it sends and receives is exactly what crossed the
// wire. `source` binds the local address first (a second address of the test's network).
class Peer {
 public:
  explicit Peer(const char* server = "127.0.0.1", const char* source = nullptr,
                int receiveBuffer = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (source != nullptr) {
      sockaddr_in local{AF_INET, 0, {}, {}};
      inet_pton(AF_INET, source, &local.sin_addr);
      bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    sockaddr_in address{AF_INET, htons(kPort), {}, {}};
    inet_pton(AF_INET, server, &address.sin_addr);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Peer() { close(fd_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool Connected() const { return connected_; }
  int Fd() const { return fd_; }

  static std::string Frame(const std::string& name, const std::string& text) {
    dodudo::KLogMessage record;
    record.name = name;
    record.text = text;
    std::string frame;
    dodudo::KStringSerializer::AppendFrame(frame, record);
    return frame;
  }
  bool SendBytes(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  bool Send(const std::string& name, const std::string& text) {
    return SendBytes(Frame(name, text));
  }

  // Reads what the server pushed until nothing more comes for quietMs; counts the records by
  // type (1: reload order, 2: filter). False once the server has closed the connection.
  bool Receive(int quietMs = 300) {
    char block[4096];
    pollfd entry{fd_, POLLIN, 0};
    while (poll(&entry, 1, quietMs) == 1) {
      ssize_t n = recv(fd_, block, sizeof block, 0);
      if (n <= 0) return open_ = false;
      input_.append(block, static_cast<size_t>(n));
    }
    while (input_.size() >= 8) {
      uint32_t size = 0, type = 0;
      memcpy(&size, input_.data(), 4);  // little-endian, as the machines these tests run on
      if (input_.size() < 4 + size) break;
      memcpy(&type, input_.data() + 4, 4);
      (type == 1 ? orders_ : filters_) += 1;
      input_.erase(0, 4 + size);
    }
    return open_;
  }
  int Filters() const { return filters_; }
  int Orders() const { return orders_; }

 private:
  int fd_ = -1;
  bool connected_ = false, open_ = true;
  std::string input_;
  int filters_ = 0, orders_ = 0;
};

}  // namespace snllogdtest

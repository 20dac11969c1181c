#pragma once

// The reference log server (snllogd) run by a test as a separate process, in a mount namespace
// of its own, as on the log server's machine: its /etc/tolma holds the server's klog.cfg (the
// test's own klog.cfg names the server), and its /var/log/tolma is the test's
// /var/log/tolma/server, where the test reads what it wrote, across restarts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "LogTestSupport.h"

namespace logtest {

class LogServerProcess {
 public:
  // Starts snllogd with the given klog.cfg of its own; waits until it accepts connections.
  explicit LogServerProcess(const std::string& config, uint16_t port = 14110) : port_(port) {
    Start(config);
  }
  ~LogServerProcess() { Stop(SIGTERM); }

  void Start(const std::string& config) {
    std::string portText = std::to_string(port_);
    mkdir("/var/log/tolma/server", 0755);
    pid_ = fork();
    if (pid_ == 0) {
      // Only system calls between fork and exec: the test process has threads. The server goes
      // with the test, whatever ends it.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("tmpfs", "/etc/tolma", "tmpfs", 0, "mode=0755") != 0 ||
          mount("/var/log/tolma/server", "/var/log/tolma", nullptr, MS_BIND, nullptr) != 0) {
        _exit(120);
      }
      mkdir("/etc/tolma/config", 0755);
      int fd = open("/etc/tolma/config/klog.cfg", O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || write(fd, config.data(), config.size()) != static_cast<ssize_t>(config.size()))
        _exit(121);
      close(fd);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      execl(SNLLOGD_PATH, SNLLOGD_PATH, "--port", portText.c_str(), static_cast<char*>(nullptr));
      _exit(122);
    }
    // Ready once a connection is accepted (the probe then leaves at once).
    WaitFor([this] { return Accepts(); });
  }

  // Ends the server with a signal and reaps it.
  void Stop(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  void Hangup() { kill(pid_, SIGHUP); }

  // Rewrites the server's klog.cfg, seen through its own mount namespace.
  void WriteConfig(const std::string& config) {
    std::string path = "/proc/" + std::to_string(pid_) + "/root/etc/tolma/config/klog.cfg";
    std::string temporary = path + ".new";
    std::ofstream(temporary) << config;
    rename(temporary.c_str(), path.c_str());
  }

 private:
  bool Accepts() {
    const sockaddr_in address{AF_INET, htons(port_), {htonl(INADDR_LOOPBACK)}, {}};
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
  }

  uint16_t port_;
  pid_t pid_ = -1;
};

}  // namespace logtest

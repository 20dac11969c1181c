#pragma once

// Helpers shared by the logging tests: reading log files, writing klog.cfg, catching what the
// library sends to syslog, and running code in a child process. Every test using them runs in
// the private mount namespace of the shared test main (SNL_REQUIRE_ISOLATION()).
#include <fcntl.h>
#include <glob.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace logtest {

// Polls `done` for up to `ms` milliseconds (generous: sanitizers and a loaded machine are slow).
template <typename Predicate>
bool WaitFor(Predicate done, int ms = 20000) {
  for (int waited = 0; !done(); waited += 5) {
    if (waited >= ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Runs body(0) ... body(count - 1) on as many threads at once, and waits for them all.
template <typename Body>
void InThreads(int count, Body body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
  for (std::thread& thread : threads) thread.join();
}

// Runs body in a child process that then ends with _exit(0); returns the child's wait status.
template <typename Body>
int InChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  return status;
}

inline std::string ReadFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Replaces the date and time of a line header ("06/12/2026 08:23:55.400") by "<time>".
inline std::string NoTime(const std::string& line) {
  static const std::regex stamp(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3})");
  return std::regex_replace(line, stamp, "<time>");
}

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The lines of a file of the log directory, their times masked.
inline std::vector<std::string> LogLines(const std::string& name) {
  std::vector<std::string> lines = ReadLines("/var/log/tolma/" + name);
  for (std::string& line : lines) line = NoTime(line);
  return lines;
}

inline std::string ExeName() {
  char buffer[256] = {};
  if (readlink("/proc/self/exe", buffer, sizeof buffer - 1) <= 0) return "";
  return strrchr(buffer, '/') + 1;
}

// The toolkit's own log ("<executable>.dodudo.log"), its times masked.
inline std::vector<std::string> ToolkitLog() { return LogLines(ExeName() + ".dodudo.log"); }

inline void WriteConfig(const std::string& text) {
  mkdir("/etc/tolma/config", 0755);
  std::ofstream("/etc/tolma/config/klog.cfg") << text;
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Receives what the process sends to syslog: a datagram socket at /dev/log, on a tmpfs /dev of
// the test's own mount namespace (the devices the process needs are bound back in).
class SyslogCapture {
 public:
  SyslogCapture() {
    mkdir("/var/log/.dev", 0755);
    mount("/dev", "/var/log/.dev", nullptr, MS_BIND | MS_REC, nullptr);
    mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755");
    for (std::string device : {"null", "zero", "urandom", "random"}) {
      close(open(("/dev/" + device).c_str(), O_CREAT | O_WRONLY, 0666));
      mount(("/var/log/.dev/" + device).c_str(), ("/dev/" + device).c_str(), nullptr, MS_BIND,
            nullptr);
    }
    symlink("/proc/self/fd", "/dev/fd");
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/dev/log");
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    timeval timeout{0, 200000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~SyslogCapture() { close(fd_); }

  // Every datagram received so far (waiting up to 200 ms for the last one).
  std::vector<std::string> Messages() {
    char buffer[8192];
    for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, 0)) > 0;) {
      messages_.emplace_back(buffer, static_cast<size_t>(n));
    }
    return messages_;
  }

 private:
  int fd_ = -1;
  std::vector<std::string> messages_;
};

// The sorted paths matching a glob pattern.
inline std::vector<std::string> Glob(const std::string& pattern) {
  glob_t found{};
  glob(pattern.c_str(), 0, nullptr, &found);
  std::vector<std::string> paths(found.gl_pathv, found.gl_pathv + found.gl_pathc);
  globfree(&found);
  return paths;
}

}  // namespace logtest

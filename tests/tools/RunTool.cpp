#include "RunTool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace snltest {

namespace {
std::string TempDir() {
  char pattern[] = "/tmp/snl-tooltest-XXXXXX";
  const char* dir = mkdtemp(pattern);
  return dir ? dir : "/tmp";
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
// True while the child has not exited; leaves an exited child to be reaped by waitpid.
bool StillRunning(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

// The last descendant along the chain of first children: the command a wrapper runs.
pid_t Innermost(pid_t pid) {
  for (;;) {
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                           "/children");
    long child = 0;
    if (!(children >> child) || child <= 0) return pid;
    pid = static_cast<pid_t>(child);
  }
}
}  // namespace

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& stopWhenPrinted) {
  std::string dir = TempDir();
  std::string outPath = dir + "/out", errPath = dir + "/err";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0) _exit(127);
    dup2(out, 1);
    dup2(err, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  ToolResult r;
  if (pid < 0) return r;
  if (!stopWhenPrinted.empty()) {
    constexpr int kPollMs = 20, kGiveUpMs = 60000;
    int waited = 0;
    while (Slurp(outPath).find(stopWhenPrinted) == std::string::npos && waited < kGiveUpMs &&
           StillRunning(pid)) {
      usleep(kPollMs * 1000);
      waited += kPollMs;
    }
    if (waited < kGiveUpMs)
      kill(Innermost(pid), SIGTERM);
    else
      kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  r.out = Slurp(outPath);
  r.err = Slurp(errPath);
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  rmdir(dir.c_str());
  return r;
}

std::string WriteTempFile(const std::string& name, const std::vector<unsigned char>& bytes) {
  std::string path = TempDir() + "/" + name;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

}  // namespace snltest

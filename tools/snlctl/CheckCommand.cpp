#include "tools/snlctl/CheckCommand.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/snlctl/Cli.h"
#include "tools/snlctl/HealthChecks.h"

extern char** environ;

namespace snlctl {

namespace {

bool NotBefore(const timespec& a, const timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return "ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  return "wait status " + std::to_string(status);
}

// The pipe's write end must not be 0, 1 or 2 (a snlctl started with those closed): dup2 of a
// descriptor onto itself would leave its close-on-exec flag set.
int AboveStandard(int fd) {
  if (fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

}  // namespace

CheckCommand::CheckCommand(const std::string& text, bool shell)
    : name_(std::string(shell ? "shell check '" : "check '") + Printable(text) + "'"),
      usePath_(!shell) {
  if (shell) {
    argv_ = {"/bin/sh", "-c", text};
  } else {
    size_t at = 0;
    while ((at = text.find_first_not_of(" \t", at)) != std::string::npos) {
      const size_t end = text.find_first_of(" \t", at);
      argv_.push_back(text.substr(at, end - at));
      at = end;
    }
  }
  if (argv_.empty() || text.find_first_not_of(" \t") == std::string::npos)
    throw UsageError(std::string(shell ? "--check-shell" : "--check") + " needs a command");
}

CheckCommand::~CheckCommand() { Kill(); }

void CheckCommand::Start(const timespec& now, long limitMs) {
  if (pid_ >= 0 && !Reap(false)) {
    outcome_ = Outcome::kStillStuck;
    return;
  }
  output_.clear();
  dropped_ = 0;
  limitMs_ = limitMs;
  deadline_ = now;
  deadline_.tv_sec += limitMs / 1000;
  deadline_.tv_nsec += (limitMs % 1000) * 1000000L;
  if (deadline_.tv_nsec >= 1000000000L) {
    deadline_.tv_sec += 1;
    deadline_.tv_nsec -= 1000000000L;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    startError_ = errno;
    outcome_ = Outcome::kStartFailed;
    return;
  }
  if ((fds[1] = AboveStandard(fds[1])) < 0) {
    startError_ = errno;
    close(fds[0]);
    outcome_ = Outcome::kStartFailed;
    return;
  }
  fcntl(fds[0], F_SETFL, O_NONBLOCK);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files, fds[1], 1);
  posix_spawn_file_actions_adddup2(&files, fds[1], 2);
  // Nothing else of snlctl's: a board's device file or a board lock held by a check command
  // (or by a daemon it leaves behind) would outlive keepalive.
  posix_spawn_file_actions_addclosefrom_np(&files, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (std::string& word : argv_) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = usePath_ ? posix_spawnp(&pid, argv[0], &files, &attr, argv.data(), environ)
                             : posix_spawn(&pid, argv[0], &files, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&files);
  close(fds[1]);
  if (error != 0) {
    close(fds[0]);
    startError_ = error;
    outcome_ = Outcome::kStartFailed;
    return;
  }
  pid_ = pid;
  outFd_ = fds[0];
  outcome_ = Outcome::kRunning;
}

void CheckCommand::Drain() {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(outFd_, buffer, sizeof buffer);
    if (n > 0) {
      const size_t room = kOutputKept - output_.size();
      const size_t keep = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
      output_.append(buffer, keep);
      dropped_ += static_cast<size_t>(n) - keep;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) CloseOutput();  // every writer has gone
    return;                     // EAGAIN: nothing more for now
  }
}

void CheckCommand::CloseOutput() {
  if (outFd_ >= 0) close(outFd_);
  outFd_ = -1;
}

// Reaps the run once it has ended; with killGroupFirst, first kills what it left in its process
// group (while the ended leader still holds the group's id, so that the id cannot name anyone
// else's group). Returns true when it was reaped. Never blocks.
bool CheckCommand::Reap(bool killGroupFirst) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid == 0) {
    return false;
  }
  if (killGroupFirst) killpg(pid_, SIGKILL);
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
  pid_ = -1;
  status_ = status;
  return true;
}

void CheckCommand::Service(const timespec& now) {
  if (outFd_ >= 0) Drain();
  if (pid_ < 0) return;
  if (outcome_ != Outcome::kRunning) {
    Reap(false);  // killed at its limit earlier
    return;
  }
  if (Reap(true)) {
    if (outFd_ >= 0) Drain();
    CloseOutput();
    outcome_ = Outcome::kEnded;
  } else if (NotBefore(now, deadline_)) {
    killpg(pid_, SIGKILL);
    CloseOutput();
    outcome_ = Outcome::kTimedOut;
    Reap(false);
  }
}

std::string CheckCommand::Verdict(std::vector<std::string>* output) {
  std::string verdict;
  switch (outcome_) {
    case Outcome::kEnded:
      if (WIFEXITED(status_) && WEXITSTATUS(status_) == 0) return "";
      verdict = DescribeStatus(status_);
      break;
    case Outcome::kTimedOut:
      verdict = "no answer within " + std::to_string(limitMs_) + " ms, killed";
      break;
    case Outcome::kStillStuck:
      return "the run killed at its time limit has not ended yet; not started again";
    case Outcome::kStartFailed:
      return std::string("cannot run: ") + std::strerror(startError_);
    case Outcome::kRunning:  // the caller waits for the end or the limit first
    case Outcome::kNone:
      return "did not run";
  }
  size_t at = 0;
  for (size_t lines = 0; at < output_.size() && lines < kLinesShown; ++lines) {
    size_t end = output_.find('\n', at);
    if (end == std::string::npos) end = output_.size();
    output->push_back(Printable(output_.substr(at, end - at)));
    at = end + 1;
  }
  const size_t notShown = dropped_ + (at < output_.size() ? output_.size() - at : 0);
  if (notShown != 0)
    output->push_back("... (" + std::to_string(notShown) + " more bytes not shown)");
  return verdict;
}

void CheckCommand::Kill() {
  CloseOutput();
  if (pid_ < 0) return;
  killpg(pid_, SIGKILL);
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
}

}  // namespace snlctl

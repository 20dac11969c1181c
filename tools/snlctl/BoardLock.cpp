#include "tools/snlctl/BoardLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tools/snlctl/Cli.h"

namespace snlctl {

namespace {

constexpr const char* kDirectory = "/run/snl";
constexpr const char* kKeepalive = "keepalive";
constexpr useconds_t kPollUs = 100 * 1000;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Opens the lock file without following a link and without blocking on anything but a regular
// file (a group member could have put a link or a FIFO there before the sticky directory existed).
int OpenLockFile(bool* writable) {
  const int flags = O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = open(BoardLock::kPath, O_RDWR | flags, 0664);
  if (fd < 0 && errno == ENOENT && geteuid() == 0 && mkdir(kDirectory, 0755) == 0)
    fd = open(BoardLock::kPath, O_RDWR | flags, 0664);
  *writable = fd >= 0;
  if (fd < 0 && errno == EACCES) fd = open(BoardLock::kPath, O_RDONLY | flags);  // still lockable
  if (fd < 0) {
    throw std::runtime_error(Errno(std::string("cannot open the board lock ") + BoardLock::kPath) +
                             " (installed systems create it with systemd-tmpfiles --create)");
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    throw std::runtime_error(std::string("the board lock ") + BoardLock::kPath +
                             " is not a regular file");
  }
  return fd;
}

// What the holder wrote: "<pid> <command>", or "" when nothing (yet) is there.
std::string Holder(int fd) {
  char text[256];
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return "";
  std::string holder(text, static_cast<size_t>(n));
  holder = holder.substr(0, holder.find('\n'));
  return holder;
}

std::string Describe(const std::string& holder) {
  const size_t space = holder.find(' ');
  if (holder.empty() || space == std::string::npos) return "another snlctl";
  return "snlctl " + holder.substr(space + 1) + " (pid " + holder.substr(0, space) + ")";
}

bool IsKeepalive(const std::string& holder) {
  const size_t space = holder.find(' ');
  return space != std::string::npos &&
         holder.compare(space + 1, strlen(kKeepalive), kKeepalive) == 0;
}

}  // namespace

BoardLock::BoardLock(const std::string& command) {
  fd_ = OpenLockFile(&writable_);
  for (int waited = 0;; ++waited) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) break;
    const int err = errno;
    if (err != EWOULDBLOCK && err != EINTR) {
      close(fd_);
      errno = err;
      throw std::runtime_error(Errno(std::string("cannot lock ") + kPath));
    }
    const std::string holder = Holder(fd_);
    if (IsKeepalive(holder)) {
      close(fd_);
      throw BoardsBusy("the boards are kept alive by " + Describe(holder) +
                       "; stop it first (systemctl stop snl-keepalive@...)");
    }
    if (waited >= kWaitSeconds * 10) {
      close(fd_);
      throw BoardsBusy("the boards are still in use by " + Describe(holder) + " after " +
                       std::to_string(kWaitSeconds) + " s");
    }
    usleep(kPollUs);
  }
  if (writable_) {
    const std::string text = std::to_string(getpid()) + " " + command + "\n";
    if (ftruncate(fd_, 0) != 0 || pwrite(fd_, text.data(), text.size(), 0) < 0) writable_ = false;
  }
}

BoardLock::~BoardLock() {
  if (writable_ && ftruncate(fd_, 0) != 0) {
    // Stale text is harmless: it is only read while the lock is held, by then rewritten.
  }
  close(fd_);
}

}  // namespace snlctl

#include "tools/snlctl/BoardLock.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tools/snlctl/Cli.h"

namespace snlctl {

namespace {

constexpr const char* kEveryBoard = "boards.lock";
constexpr const char* kLoading = "load.lock";
constexpr const char* kKeepalive = "keepalive";
constexpr useconds_t kPollUs = 100 * 1000;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string PathOf(const std::string& name) {
  return std::string(BoardLock::kDirectory) + "/" + name;
}

std::string BoardFile(int board) { return "board" + std::to_string(board) + ".lock"; }

// Opens a lock file without following a link and without blocking on anything but a regular
// file (a group member could have put a link or a FIFO there). *writable tells whether the
// holder text can be written (a file another member created may be read-only to us; flock
// works on it all the same).
int OpenLockFile(const std::string& path, bool* writable) {
  const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = -1;
  // An existing file is opened without O_CREAT: in a sticky directory the kernel may refuse
  // O_CREAT on another user's file (fs.protected_regular), even to root.
  for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
    fd = open(path.c_str(), O_RDWR | flags);
    *writable = fd >= 0;
    if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | flags);
    if (fd >= 0 || errno != ENOENT) break;
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | flags, 0664);
    if (fd < 0 && errno == ENOENT && geteuid() == 0 && mkdir(BoardLock::kDirectory, 0755) == 0)
      fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | flags, 0664);
    *writable = fd >= 0;
    if (fd < 0 && errno != EEXIST) break;  // EEXIST: another process created it meanwhile
  }
  if (fd < 0) {
    throw std::runtime_error(Errno("cannot open the board lock " + path) +
                             " (installed systems create it with systemd-tmpfiles --create)");
  }
  // A second name would let a group member point the lock at another file (the holder text is
  // written into it, and a file of ours is chmod'ed), or two locks at one file.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    close(fd);
    throw std::runtime_error("the board lock " + path + " is not a regular file of its own");
  }
  // A lock file this user created is made group-writable despite the umask, so that the next
  // member of the group can write its holder text into it too.
  if (*writable && st.st_uid == geteuid() && (st.st_mode & 0777) != 0664) fchmod(fd, 0664);
  return fd;
}

// What an exclusive holder wrote: "<pid> <command>", or "" when nothing is there or the process
// that wrote it is gone (killed before it could clear the text).
std::string Holder(int fd) {
  char text[256];
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return "";
  std::string holder(text, static_cast<size_t>(n));
  holder = holder.substr(0, holder.find('\n'));
  // Any group member can write this file: nothing of it reaches a terminal unescaped (snlctl
  // writes only ASCII there; bytes from 0x80 on could be C1 controls or broken UTF-8).
  for (char& c : holder)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  const long pid = strtol(holder.c_str(), nullptr, 10);
  if (pid <= 0 || pid > INT_MAX || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH))
    return "";
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

// The holders of the board locks: who shares boards.lock when a command for every board is
// refused it.
std::vector<std::string> BoardHolders() {
  std::vector<std::string> holders;
  DIR* dir = opendir(BoardLock::kDirectory);
  if (dir == nullptr) return holders;
  while (const struct dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, 5, "board") != 0 || name == kEveryBoard) continue;
    const int fd =
        openat(dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    // Text in a file that nobody holds is stale (its writer was killed before it could clear
    // it), and the pid in it may belong to another process by now.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_SH | LOCK_NB) != 0) {
      const std::string holder = Holder(fd);
      if (!holder.empty()) holders.push_back(holder);
    }
    close(fd);
  }
  closedir(dir);
  std::sort(holders.begin(), holders.end());
  return holders;
}

double Seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

struct BoardLock::File {
  int fd = -1;
  bool writable = false;
  bool exclusive = false;

  ~File() {
    // Stale text would only be read while the file is locked again, by then rewritten; clearing
    // it keeps a refused command from naming a holder that has gone.
    if (exclusive && writable && ftruncate(fd, 0) != 0) {
    }
    if (fd >= 0) close(fd);
  }
};

BoardLock::BoardLock(const std::string& command, const std::vector<int>& boards) {
  std::vector<std::string> names{kEveryBoard};
  std::vector<int> sorted = boards;
  std::sort(sorted.begin(), sorted.end());  // one order for every process: no deadlock
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  for (int board : sorted) names.push_back(BoardFile(board));
  names.push_back(kLoading);  // last: held only briefly, and never while waiting for another lock

  const double deadline = Seconds() + kWaitSeconds;
  for (size_t i = 0; i < names.size(); ++i) {
    const bool loading = i + 1 == names.size();
    auto file = std::make_unique<File>();
    const std::string path = PathOf(names[i]);
    file->fd = OpenLockFile(path, &file->writable);
    file->exclusive = i > 0 || sorted.empty();
    // Nobody waits long for a loader, and its text would name a keep-alive still starting.
    if (loading) file->writable = false;
    const int mode = file->exclusive ? LOCK_EX : LOCK_SH;
    bool told = false;  // an operator waiting up to 30 s is told once whom for
    while (flock(file->fd, mode | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR)
        throw std::runtime_error(Errno("cannot lock " + path));
      if (loading) {
        if (Seconds() >= deadline) {
          throw BoardsBusy("another snlctl is still loading the library after " +
                           std::to_string(kWaitSeconds) + " s");
        }
        usleep(kPollUs);
        continue;
      }
      // Who is in the way: the exclusive holder of this file, or, for a command for every board,
      // the commands holding single boards.
      std::vector<std::string> holders;
      if (const std::string holder = Holder(file->fd); !holder.empty()) holders.push_back(holder);
      if (i == 0 && file->exclusive) {
        for (const std::string& holder : BoardHolders()) holders.push_back(holder);
      }
      const std::string what =
          i == 0 ? "the boards are" : "board " + std::to_string(sorted[i - 1]) + " is";
      for (const std::string& holder : holders) {
        if (IsKeepalive(holder)) {
          throw BoardsBusy(what + " kept alive by " + Describe(holder) +
                           "; stop it first (systemctl stop snl-keepalive@...)");
        }
      }
      if (Seconds() >= deadline) {
        throw BoardsBusy(what + " still in use by " +
                         Describe(holders.empty() ? "" : holders.front()) + " after " +
                         std::to_string(kWaitSeconds) + " s");
      }
      if (!told) {
        told = true;
        const std::string& holder = holders.empty() ? "" : holders.front();
        const size_t space = holder.find(' ');
        const std::string by = space == std::string::npos
                                   ? "another snlctl"
                                   : "pid " + holder.substr(0, space) + " (snlctl " +
                                         holder.substr(space + 1) + ")";
        std::fprintf(stderr, "snlctl: waiting for %s, held by %s\n",
                     i == 0 ? "the boards" : ("board " + std::to_string(sorted[i - 1])).c_str(),
                     by.c_str());
      }
      usleep(kPollUs);
    }
    if (file->exclusive && file->writable) {
      const std::string text = std::to_string(getpid()) + " " + command + "\n";
      if (ftruncate(file->fd, 0) != 0 || pwrite(file->fd, text.data(), text.size(), 0) < 0)
        file->writable = false;
    }
    if (loading)
      loading_ = std::move(file);
    else
      files_.push_back(std::move(file));
  }
}

BoardLock::~BoardLock() = default;

void BoardLock::Loaded() { loading_.reset(); }

}  // namespace snlctl

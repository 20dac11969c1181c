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

// An open lock file: its descriptor, whether the holder text may be written into it, and its
// identity (two names of one file must not count as two locks: a process would wait for itself).
struct Opened {
  int fd = -1;
  bool writable = false;
  dev_t dev = 0;
  ino_t ino = 0;
};

// Opens a lock file without following a link and without blocking on anything but a regular
// file. The lock files are made by the tmpfiles entry in a directory only root can add names to;
// a board lock it did not make is created by root's snlctl. Returns fd -1 when the file is not
// there and cannot be made (a member of the group asking for a board beyond those of the
// tmpfiles entry) or is not a regular file: the caller then locks every board instead, so
// nothing left in the directory can refuse a command. Throws only when `required`.
Opened OpenLockFile(const std::string& path, bool required) {
  const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  Opened file;
  bool created = false;
  // An existing file is opened without O_CREAT: in a sticky directory the kernel may refuse
  // O_CREAT on another user's file (fs.protected_regular), even to root.
  for (int attempt = 0; file.fd < 0 && attempt < 3; ++attempt) {
    file.fd = open(path.c_str(), O_RDWR | flags);
    file.writable = file.fd >= 0;
    // Not writable for us: the lock works all the same, only the holder text stays unwritten.
    if (file.fd < 0 && errno == EACCES) file.fd = open(path.c_str(), O_RDONLY | flags);
    if (file.fd >= 0 || errno != ENOENT) break;
    file.fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | flags, 0664);
    if (file.fd < 0 && errno == ENOENT && geteuid() == 0 && mkdir(BoardLock::kDirectory, 0755) == 0)
      file.fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | flags, 0664);
    file.writable = created = file.fd >= 0;
    if (file.fd < 0 && errno != EEXIST) break;  // EEXIST: another process created it meanwhile
  }
  const int error = errno;
  struct stat st;
  if (file.fd >= 0 && (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(file.fd);
    file.fd = -1;
    if (required) throw std::runtime_error("the board lock " + path + " is not a regular file");
    return file;
  }
  if (file.fd < 0) {
    if (!required) return file;
    errno = error;
    throw std::runtime_error(Errno("cannot open the board lock " + path) +
                             " (installed systems create it with systemd-tmpfiles --create)");
  }
  file.dev = st.st_dev;
  file.ino = st.st_ino;
  // A file with a second name elsewhere is still a lock, but its text is not written: the
  // other name may be a file that someone else reads.
  if (st.st_nlink != 1) file.writable = false;
  if (created) {
    // Made by root's snlctl for a board the tmpfiles entry has no file for: group-writable
    // despite the umask and in the group of boards.lock, so that a member keeping the board
    // alive later can write its holder text too.
    struct stat every;
    if (stat(PathOf(kEveryBoard).c_str(), &every) == 0 && every.st_gid != st.st_gid &&
        fchown(file.fd, static_cast<uid_t>(-1), every.st_gid) != 0) {
    }
    fchmod(file.fd, 0664);
  }
  return file;
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
  std::vector<int> sorted = boards;
  std::sort(sorted.begin(), sorted.end());  // one order for every process: no deadlock
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());

  // Every file is opened before any is locked. A board whose file cannot be used (missing and not
  // ours to make, not a regular file, or a second name of another lock) is covered by taking
  // boards.lock exclusively, as a command for every board does: coarser, never refused.
  Opened every = OpenLockFile(PathOf(kEveryBoard), true);
  bool everyExclusive = sorted.empty();
  std::vector<std::pair<int, Opened>> perBoard;  // board, file
  for (int board : sorted) {
    Opened file = OpenLockFile(PathOf(BoardFile(board)), false);
    bool same = file.fd >= 0 && file.dev == every.dev && file.ino == every.ino;
    for (const auto& other : perBoard)
      same = same || (file.fd >= 0 && file.dev == other.second.dev && file.ino == other.second.ino);
    if (file.fd < 0 || same) {
      if (file.fd >= 0) close(file.fd);
      everyExclusive = true;
      continue;
    }
    perBoard.emplace_back(board, file);
  }
  struct Step {
    std::string path;
    Opened file;
    bool exclusive;
    int board;  // -1: boards.lock
  };
  std::vector<Step> steps{{PathOf(kEveryBoard), every, everyExclusive, -1}};
  for (const auto& [board, file] : perBoard) steps.push_back({PathOf(BoardFile(board)), file, true, board});
  // Last: held only briefly, and never while waiting for another lock. Nobody waits long for a
  // loader, and its text would name a keep-alive still starting.
  Opened loadFile = OpenLockFile(PathOf(kLoading), true);
  loadFile.writable = false;
  steps.push_back({PathOf(kLoading), loadFile, true, -2});
  // Owned from here on, so that every descriptor is closed whatever is thrown below.
  std::vector<std::unique_ptr<File>> opened;
  for (const Step& step : steps) {
    auto file = std::make_unique<File>();
    file->fd = step.file.fd;
    file->writable = step.file.writable;
    opened.push_back(std::move(file));
  }

  const double deadline = Seconds() + kWaitSeconds;
  for (size_t i = 0; i < steps.size(); ++i) {
    const bool loading = i + 1 == steps.size();
    std::unique_ptr<File>& file = opened[i];
    const std::string& path = steps[i].path;
    file->exclusive = steps[i].exclusive;
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
          i == 0 ? "the boards are" : "board " + std::to_string(steps[i].board) + " is";
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
  }
  loading_ = std::move(opened.back());
  opened.pop_back();
  files_ = std::move(opened);
}

BoardLock::~BoardLock() = default;

void BoardLock::Loaded() { loading_.reset(); }

}  // namespace snlctl

#include "DOdudo/KLogDirectory.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "DOdudo/KLogPlatform.h"
#include "DOdudo/SysLog.h"
#include "DOdudo/host/KFileAt.h"
#include "DOdudo/host/KHostSystem.h"

namespace klogdetail {
namespace {

constexpr char kDirectory[] = "/var/log/tolma";
constexpr char kWriteTest[] = "WriteTest.tmp";

struct Directory {
  std::string path;
  int fd = -1;
  mode_t mode = 0755;
};

void Report(const std::string& message) {
  SysLog(klogWarning, message.c_str());
  fprintf(stderr, "%s\n", message.c_str());
}

// Looks at the directory once and says what is wrong with it, if anything.
void CheckTrust(const Directory& dir) {
  struct stat own {};
  if (lstat(kDirectory, &own) == 0 && S_ISLNK(own.st_mode)) {
    char target[512] = {};
    if (readlink(kDirectory, target, sizeof target - 1) < 0) target[0] = '\0';
    std::string message;
    AppendFormat(message,
                 "Log directory \"%s\" is a symbolic link (to \"%s\"): logs are written in its "
                 "target; make it a directory owned by root, or check who may change the link.",
                 kDirectory, target);
    Report(message);
  }
  if ((dir.mode & S_IWOTH) != 0) {
    std::string message;
    AppendFormat(message,
                 "Log directory \"%s\" may be written by any user (mode %04o): they can remove or "
                 "replace its log files; make it writable by its owner and group only (for "
                 "instance root:snl 2775).",
                 kDirectory, static_cast<unsigned int>(dir.mode & 07777));
    Report(message);
  }
}

// Creates and removes "WriteTest.tmp" beneath the directory. The name is created exclusively and
// without following links, so a link or file planted under that name is never written through; a
// leftover entry is removed (only the entry itself) and the test tried again.
bool WriteTest(const Directory& dir) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = openat(dir.fd, kWriteTest,
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      unlinkat(dir.fd, kWriteTest, 0);
      return true;
    }
    if (errno != EEXIST) return false;
    if (unlinkat(dir.fd, kWriteTest, 0) != 0 && errno != ENOENT) {
      if (errno != EISDIR && errno != EPERM) return false;
      // A directory took the name: test with an unnamed file instead.
      int unnamed = openat(dir.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
      if (unnamed < 0) return false;
      close(unnamed);
      return true;
    }
  }
  return false;
}

[[noreturn]] void Fatal(const std::string& path) {
  std::string message;
  AppendFormat(message, "Fatal error writing to a critical file \"%s\"! Exiting process!",
               path.c_str());
  SysLog(klogError, message.c_str());
  fputs(message.c_str(), stderr);
  exit(-123);
}

const Directory& Fixed() {
  static const Directory directory = [] {
    Directory dir;
    KHostSystem::MakeDirectory(kDirectory);
    dir.path = std::string(kDirectory) + "/";
    dir.fd = open(kDirectory, O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat info {};
    if (dir.fd < 0 || fstat(dir.fd, &info) != 0) Fatal(dir.path);
    dir.mode = info.st_mode;
    CheckTrust(dir);
    if (!WriteTest(dir)) Fatal(dir.path);
    return dir;
  }();
  return directory;
}

}  // namespace

const std::string& LogDirectoryPath() { return Fixed().path; }

int LogDirectoryFd() { return Fixed().fd; }

mode_t LogDirectoryMode() { return Fixed().mode; }

int OpenLogFileAt(int dirFd, mode_t dirMode, const char* name) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_LARGEFILE;
  mode_t mode = dodudo::file::FileModeBeneath(dirMode);
  for (;;) {
    int fd = openat(dirFd, name, kFlags);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = openat(dirFd, name, kFlags | O_CREAT | O_EXCL, mode);
    if (fd >= 0) {
      // The umask may have removed the group's write bit that a shared directory asks for.
      if ((mode & S_IWGRP) != 0) fchmod(fd, mode);
      return fd;
    }
    if (errno != EEXIST) return -1;  // else another process created it meanwhile: open that
  }
}

}  // namespace klogdetail

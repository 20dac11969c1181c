#include "DOdudo/host/KFileAt.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace dodudo {
namespace file {

namespace {

bool GroupShared(mode_t parentMode) { return (parentMode & S_IWGRP) != 0; }

}  // namespace

mode_t DirectoryModeBeneath(mode_t parentMode) {
  return GroupShared(parentMode) ? 0775 | (parentMode & S_ISGID) : 0755;
}

mode_t FileModeBeneath(mode_t parentMode) { return GroupShared(parentMode) ? 0664 : 0644; }

int MakeDirectoryAt(int parentFd, const char* name) {
  struct stat parent {};
  if (fstat(parentFd, &parent) != 0) return errno;
  mode_t mode = DirectoryModeBeneath(parent.st_mode);
  if (mkdirat(parentFd, name, mode) != 0) return errno;
  if (!GroupShared(parent.st_mode)) return 0;
  // The umask may have taken the group bits the shared directory asks for; put them back on the
  // directory just made (opened without following, so a link swapped in meanwhile is not
  // touched).
  int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat made {};
  if (fstat(fd, &made) == 0 && (made.st_mode & 07777) != mode) fchmod(fd, mode);
  close(fd);
  return 0;
}

int OpenDirectoryBeneath(int dirFd, const std::string& relative, bool create) {
  int current = openat(dirFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  size_t start = 0;
  while (current >= 0 && start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    int next = openat(current, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create) {
      int made = MakeDirectoryAt(current, part.c_str());
      if (made == 0 || made == EEXIST) {
        next = openat(current, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
    }
    int saved = errno;
    close(current);
    errno = saved;
    current = next;
  }
  return current;
}

int RenameNoReplace(int fromDir, const char* from, int toDir, const char* to) {
  if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the no-replace flag: link() refuses an existing name just as well.
  if (linkat(fromDir, from, toDir, to, 0) != 0) return errno;
  unlinkat(fromDir, from, 0);
  return 0;
}

}  // namespace file
}  // namespace dodudo

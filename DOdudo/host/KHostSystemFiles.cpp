// Files, directories and directory searches.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "DOdudo/host/KFileAt.h"
#include "DOdudo/host/KHostSystem.h"

namespace {

constexpr int kNoMoreFiles = 6;

bool IsDirectory(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsDotEntry(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// mkdir that treats an existing entry as success; the caller checks the final result. The mode
// follows the parent (0755, or group-writable inside a group-writable directory): never 0777,
// which under a umask of 0 would let every user plant files in the new directory.
bool MakeOne(std::string path) {
  // The kernel's view: '/' alone separates (a '\\' is part of a name).
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  int parentFd = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (parentFd < 0) return false;
  int result = dodudo::file::MakeDirectoryAt(parentFd, name.c_str());
  close(parentFd);
  errno = result;
  return result == 0 || result == EEXIST;
}

// Empties the directory `dirFd` (which it closes) without following any link: each entry is
// examined and removed relative to the directory, never through a path that could be swapped.
void RemoveContents(int dirFd) {
  DIR* stream = fdopendir(dirFd);
  if (stream == nullptr) {
    close(dirFd);
    return;
  }
  while (dirent* entry = readdir(stream)) {
    if (IsDotEntry(entry->d_name)) continue;
    struct stat info {};
    if (fstatat(dirfd(stream), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      int child = openat(dirfd(stream), entry->d_name,
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) RemoveContents(child);
      unlinkat(dirfd(stream), entry->d_name, AT_REMOVEDIR);
    } else {
      unlinkat(dirfd(stream), entry->d_name, 0);
    }
  }
  closedir(stream);
}

}  // namespace

FILE* KHostSystem::OpenSharedFile(const char* path) {
  if (path == nullptr) return nullptr;
  return fopen(path, "ae");  // close-on-exec, as every descriptor of the library
}

bool KHostSystem::RemoveFile(const char* path) {
  if (path == nullptr) return true;
  return unlink(path) != 0;
}

int KHostSystem::FileTruncate(const char* path, int length) {
  if (path == nullptr) return -1;
  return truncate(path, length);
}

bool KHostSystem::MakeDirectory(const char* path) {
  if (path == nullptr) return true;
  if (IsDirectory(path)) return false;
  // Each prefix ending before a separator is created in turn; a leading separator (the root) does
  // not count: "/tmp/a/b" makes "/tmp", "/tmp/a", then "/tmp/a/b".
  const std::string whole(path);
  for (size_t pos = whole.find_first_of("/\\", 1); pos != std::string::npos;
       pos = whole.find_first_of("/\\", pos + 1)) {
    if (!MakeOne(whole.substr(0, pos))) return true;
  }
  if (!MakeOne(whole)) return true;
  // A file of that name also answers "exists": only a directory is success.
  return !IsDirectory(path);
}

bool KHostSystem::RemoveDirectory(const char* path) {
  if (path == nullptr) return true;
  // "link/" would resolve the link: the name is taken without its trailing separators, and a
  // link to a directory is not a directory, so searching through it would empty its target.
  std::string own(path);
  while (own.size() > 1 && own.back() == '/') own.pop_back();
  int fd = open(own.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return true;
  RemoveContents(fd);
  return rmdir(own.c_str()) != 0;
}

void* KHostSystem::FindFirst(const char* directory, const char* extension, char* name,
                             int* result) {
  if (directory == nullptr) return nullptr;
  DIR* stream = opendir(directory);
  if (stream == nullptr) return nullptr;
  int first = FindNext(stream, extension, name);
  if (result != nullptr) *result = first;
  return stream;
}

int KHostSystem::FindNext(void* handle, const char* extension, char* name) {
  if (handle == nullptr) return kNoMoreFiles;
  while (dirent* entry = readdir(static_cast<DIR*>(handle))) {
    if (extension != nullptr && !ExtensionCompare(entry->d_name, extension)) continue;
    if (name != nullptr) {
      snprintf(name, 256, "%s", entry->d_name);
    }
    return 0;
  }
  return kNoMoreFiles;
}

void KHostSystem::FindClose(void* handle) {
  if (handle != nullptr) closedir(static_cast<DIR*>(handle));
}

bool KHostSystem::ExtensionCompare(const char* name, const char* extension) {
  if (name == nullptr || extension == nullptr) return false;
  if (strcmp(extension, "*") == 0) return true;
  if (IsDotEntry(name)) return false;
  const char* dot = strrchr(name, '.');
  if (dot == nullptr) return false;
  return strcasecmp(dot + 1, extension) == 0;
}

const char* KHostSystem::GetWorkDirectory() {
  static char directory[256] = "/etc/tolma/";
  return directory;
}

char* KHostSystem::ReadLine(char* buffer, int size, FILE* file) {
  if (buffer == nullptr || size < 1) return nullptr;
  buffer[0] = '\0';
  if (file == nullptr || fgets(buffer, size, file) == nullptr) return nullptr;
  size_t length = strlen(buffer);
  if (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') {
    buffer[length - 2] = '\n';
    buffer[length - 1] = '\0';
  }
  return buffer;
}

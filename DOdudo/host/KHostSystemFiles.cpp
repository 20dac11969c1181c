// Files, directories and directory searches.
#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "DOdudo/host/KHostSystem.h"

namespace {

constexpr int kNoMoreFiles = 6;

bool IsDirectory(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir that treats an existing entry as success; the caller checks the final result.
bool MakeOne(const std::string& path) {
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

bool IsDotEntry(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

}  // namespace

FILE* KHostSystem::OpenSharedFile(const char* path) {
  if (path == nullptr) return nullptr;
  return fopen(path, "a");
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
  // A link to a directory is not a directory: searching through it would empty its target.
  struct stat own {};
  if (lstat(path, &own) == 0 && S_ISLNK(own.st_mode)) return true;
  char name[256];
  int result = kNoMoreFiles;
  void* search = FindFirst(path, "*", name, &result);
  if (search != nullptr) {
    for (; result == 0; result = FindNext(search, "*", name)) {
      if (IsDotEntry(name)) continue;
      std::string child = std::string(path) + '/' + name;
      struct stat info {};
      // lstat: a symbolic link to a directory is removed as a link, its target is left alone.
      if (lstat(child.c_str(), &info) != 0) continue;
      if (S_ISDIR(info.st_mode))
        RemoveDirectory(child.c_str());
      else
        RemoveFile(child.c_str());
    }
    FindClose(search);
  }
  return rmdir(path) != 0;
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

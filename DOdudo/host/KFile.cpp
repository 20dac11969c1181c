#include "DOdudo/host/KFile.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "DOdudo/host/KTime.h"

namespace dodudo {
namespace file {

namespace {

size_t LastSeparator(const kstring& path) { return path.find_last_of("/\\"); }

}  // namespace

bool Exists(const kstring& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

kstring FullPath(const kstring& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return kstring();
  return kstring(resolved);
}

kstring FilenamePart(const kstring& path) {
  kstring full = FullPath(path);
  size_t separator = LastSeparator(full);
  if (separator == kstring::npos) return kstring();
  return kstring(full.substr(separator + 1));
}

kstring DirectoryPart(const kstring& path) {
  kstring full = FullPath(path);
  size_t separator = LastSeparator(full);
  if (separator == kstring::npos) return kstring();
  return kstring(full.substr(0, separator));
}

kstring UniquifyFilename(const kstring& path) {
  // The counter goes before the extension of the file name itself: a '.' in a directory name
  // ("/var/run.d/out") must not be taken for one, or the candidate would name a missing directory.
  size_t dot = path.find_last_of('.');
  size_t separator = LastSeparator(path);
  size_t insertAt =
      (dot == kstring::npos || (separator != kstring::npos && dot < separator)) ? path.size() : dot;
  kstring candidate = path;
  for (int n = 1; n <= 100; ++n) {
    if (!Exists(candidate)) return candidate;
    candidate = path;
    candidate.insert(insertAt, fstring(".%d", n));
  }
  kstring stamped = path;
  stamped.insert(insertAt, fstring(".%d", static_cast<int>(dodudo::time::UnixTime())));
  return UniquifyFilename(stamped);
}

}  // namespace file
}  // namespace dodudo

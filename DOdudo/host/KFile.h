#pragma once

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"

// File-name helpers. None of them throws for a missing file. Safe from any thread (they keep no
// state), though the file system may of course change between two calls.
namespace dodudo {
namespace file {

// True when a directory entry of that name exists (a dangling symbolic link counts: the name is
// taken). Access rights play no part.
DODUDO_API bool Exists(const kstring& path);
// The absolute path with symbolic links, "." and ".." resolved; empty when it cannot be resolved.
DODUDO_API kstring FullPath(const kstring& path);
// The parts of FullPath(path) after and before its last '/' or '\'. Both are empty when the path
// cannot be resolved.
DODUDO_API kstring FilenamePart(const kstring& path);
DODUDO_API kstring DirectoryPart(const kstring& path);
// A name that does not exist yet: the path itself, else "a.1.log", "a.2.log" ... "a.99.log" for
// "a.log" (".n" goes before the file name's last '.', or at the end when the name has none), and
// after that the same scheme on "a.<unix time>.log".
DODUDO_API kstring UniquifyFilename(const kstring& path);

}  // namespace file
}  // namespace dodudo

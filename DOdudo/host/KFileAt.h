#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// File operations relative to an open directory that never follow a symbolic link: used beneath
// the log directory, where another user (a member of the log group, or anyone when the directory
// is world-writable) may have planted links. Results are descriptors (-1 on failure, errno set) or
// 0 / an errno value. Safe from any thread; nothing throws.
namespace dodudo {
namespace file {

// Mode of a directory created inside one of mode `parentMode`: 0755 (less the umask) by default;
// inside a group-writable directory (such as a log directory root:snl 2775) also group read,
// write and search, whatever the umask, plus setgid when the parent has it, so that every member
// of the group can create, rotate and remove files in it.
mode_t DirectoryModeBeneath(mode_t parentMode);
// Mode of a file created there: 0644 (less the umask), or 0664 inside a group-writable directory.
mode_t FileModeBeneath(mode_t parentMode);

// Creates `name` in the directory `parentFd` with DirectoryModeBeneath of that directory. 0 when
// created, else errno (EEXIST when the name is taken, whatever it names).
int MakeDirectoryAt(int parentFd, const char* name);

// Opens each component of the relative path `relative` ("a/b/", "a/b", "" for `dirFd` itself)
// beneath `dirFd` as a directory, creating missing ones when `create` is set. A component that is
// a symbolic link, or not a directory, fails. Returns a new O_PATH descriptor, or -1.
int OpenDirectoryBeneath(int dirFd, const std::string& relative, bool create);

// Renames `from` in `fromDir` to `to` in `toDir` unless `to` exists (then EEXIST and nothing
// moves). Neither name is followed when it is a link. 0 on success, else errno.
int RenameNoReplace(int fromDir, const char* from, int toDir, const char* to);

}  // namespace file
}  // namespace dodudo

#pragma once

#include <sys/types.h>

#include <string>

// The log directory /var/log/tolma/, fixed once per process on first use:
// - created with its parents when missing (0755, group bits from a group-writable parent);
// - held open as a directory descriptor, so every log file is opened beneath the directory that
//   was checked, never through a path that could be swapped afterwards;
// - checked once: a directory that is a symbolic link, or that users other than its owner and
//   group may write, is reported on syslog and standard error. It is still used: every file
//   beneath it is opened without following links and no rotated file is ever replaced, so such a
//   directory can lose or expose log lines but never turn the logging into a write elsewhere,
//   while refusing it would silence or end every process that loads the library. A directory
//   root:snl 2775 (group-writable, setgid) is the intended shared setup and passes silently;
// - write-tested with "WriteTest.tmp" (created exclusively, never through a link); when that
//   fails the process ends (exit(-123)) after "Fatal error writing to a critical file ..." on
//   syslog and standard error.
// Safe from any thread; the first call does the work, later ones return the cached result.
namespace klogdetail {

// "/var/log/tolma/", with its trailing '/'.
const std::string& LogDirectoryPath();
// O_PATH descriptor of that directory (kept for the life of the process).
int LogDirectoryFd();
// Mode bits of the directory as found at the check.
mode_t LogDirectoryMode();

// Opens `name` (no '/') in the directory `dirFd` for appending, without following a link and
// without blocking on a FIFO; a new file gets dodudo::file::FileModeBeneath(dirMode).
// The descriptor, or -1 with errno set.
int OpenLogFileAt(int dirFd, mode_t dirMode, const char* name);

}  // namespace klogdetail

#pragma once

// The health checks of snlctl keepalive: what must hold before each ping, so that a machine
// whose application has hung, died or run out of memory stops being pinged and its board resets
// it. Each kind is optional and repeatable:
//   --check CMD / --check-shell CMD   a command that must exit 0 within --check-timeout
//                                     (CheckCommand.h), run in the background during the interval
//   --pidfile FILE                    the process whose pid FILE holds must be running
//   --heartbeat FILE:N                FILE must have changed within the last N seconds
//   --min-memory MIB                  MemAvailable of /proc/meminfo must be at least MIB MiB
//   --max-load L                      the 1-minute load average must not exceed L
// The file and /proc checks are read when the ping is due; they read only local files (pid
// files and heartbeats belong on /run or /var, not on a network file system that could hang).
//
// What a check does with its input:
//   - pid file: missing, unreadable, not a regular file, a symbolic link (never followed), not
//     holding one decimal pid, writable by every user, in a directory every user may write
//     to without the sticky bit, or in one with it (/tmp) and owned by neither root nor
//     snlctl's user: failure. The process must exist and not be a zombie. A pid file
//     owned by neither root nor snlctl's user may only name a process running as its owner (a
//     user cannot point it at a process that never dies, such as init). The start time of the
//     process is remembered: while the pid file stays the same, a pid that names a process
//     started at another time (the pid reused after the application died) is a failure.
//   - heartbeat: missing, a symbolic link (never followed), writable by every user or in such a
//     directory: failure. Its age at first sight comes from its modification time; from then on
//     a change (modification time or a new file) is timed with the monotonic clock, so setting
//     the clock makes no stale file fresh.
//   - memory, load: /proc/meminfo without MemAvailable or an unreadable /proc refuses the option
//     at start (exit status 2, no board touched); a read failing later is a failure.

#include <poll.h>
#include <sys/types.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/snlctl/CheckCommand.h"

namespace snlctl {

struct HealthCheckOptions {
  struct Command {
    std::string text;
    bool shell;
  };
  struct Heartbeat {
    std::string path;
    long seconds;
  };
  std::vector<Command> commands;
  std::vector<std::string> pidFiles;
  std::vector<Heartbeat> heartbeats;
  long minMemoryMiB = 0;    // 0: no memory check
  std::string maxLoad;      // as given; empty: no load check
  long checkTimeoutMs = 0;  // the time limit of each command; 0: half the interval
  long grace = 0;           // failed rounds in a row that are still pinged
};

// Pulls the health check options out of keepalive's arguments (the interval already parsed).
// Throws UsageError for a bad value, an option given twice that takes one value, or a memory or
// load check this system cannot make.
void TakeHealthCheckOptions(std::vector<std::string>* args, long intervalMs,
                            HealthCheckOptions* options);

// text with control characters and non-ASCII bytes shown as '?': what a check command prints,
// or a file name, must not reach a terminal reading the journal as escape sequences.
std::string Printable(const std::string& text);

class HealthChecks {
 public:
  HealthChecks(const HealthCheckOptions& options, long intervalMs);
  ~HealthChecks();
  HealthChecks(const HealthChecks&) = delete;
  HealthChecks& operator=(const HealthChecks&) = delete;

  bool Empty() const;
  // "check 'x' (500 ms), pidfile /run/a.pid, heartbeat /run/b (10 s), memory (200 MiB),
  // load (8.5); grace 2".
  std::string Describe() const;
  // Starts the command checks for the next ping.
  void StartRound(const timespec& now);
  // True while a command check runs within its time limit.
  bool Running() const;
  // The earliest time limit of the command checks running (*deadline untouched when none).
  void EarliestDeadline(timespec* deadline) const;
  // Adds the output pipes of the running command checks.
  void AddPollFds(std::vector<pollfd>* fds) const;
  // Reads output, notes ended commands and kills those at their limit. Never blocks.
  void Service(const timespec& now);
  // Judges every check for ping number `ping` (the command checks have ended or been killed),
  // reports each failure on stderr, and returns true when all passed.
  bool Evaluate(long ping, const timespec& now);
  // Kills the command checks still running.
  void KillAll();

  struct PidFile;
  struct Heartbeat;

 private:
  std::vector<std::unique_ptr<CheckCommand>> commands_;
  std::vector<std::unique_ptr<PidFile>> pidFiles_;
  std::vector<std::unique_ptr<Heartbeat>> heartbeats_;
  long timeoutMs_;
  long grace_;
  long minMemoryMiB_;
  std::string maxLoadText_;
  double maxLoad_ = 0;
};

}  // namespace snlctl

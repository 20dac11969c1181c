#pragma once

// Readers of the texts the health checks of snlctl keepalive take in: a pid file (written by
// whoever runs the application, maybe another user) and the kernel's /proc files, whose command
// name field any process sets to what it likes. Pure functions over the text read; they never
// read past it.

#include <sys/types.h>

#include <string>

namespace snlctl {

// "12345\n": one decimal pid (1 to 2^31-1) with blanks and newlines around it and nothing else;
// 0 when the text is not that.
long ParsePid(const std::string& text);

// /proc/PID/stat: the state letter (field 3) and the start time in clock ticks since boot
// (field 22), read after the last ')' since the command name before it may hold anything.
// False when the text is cut short.
bool ParseProcessStat(const std::string& text, char* state, unsigned long long* startTime);

// /proc/PID/status: true when uid is one of the four of the "Uid:" line (real, effective, saved,
// file system).
bool StatusHasUid(const std::string& text, uid_t uid);

// /proc/meminfo: MemAvailable in kiB, -1 when there is no such line.
long long ParseMemAvailableKiB(const std::string& text);

// /proc/loadavg: the 1-minute load average, -1 when the text does not start with one.
double ParseLoadAverage(const std::string& text);

}  // namespace snlctl

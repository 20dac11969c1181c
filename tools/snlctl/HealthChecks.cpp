#include "tools/snlctl/HealthChecks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/snlctl/Cli.h"
#include "tools/snlctl/ProcText.h"

namespace snlctl {

namespace {

constexpr long kMaxGrace = 1000000L;
constexpr long kMaxHeartbeatSeconds = 7L * 24 * 3600;
constexpr long kMaxMemoryMiB = 1L << 30;
constexpr int64_t kNsPerSecond = 1000000000LL;

std::string ErrnoText(int error) { return std::strerror(error); }

int64_t Ns(const timespec& t) { return int64_t{t.tv_sec} * kNsPerSecond + t.tv_nsec; }

// Reads a small file of /proc (or a pid file) whole, at most max bytes. Returns 0 or an errno.
int ReadSmall(int fd, size_t max, std::string* text) {
  text->clear();
  char buffer[4096];
  while (text->size() < max) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  if (text->size() > max) text->resize(max);
  return 0;
}

int ReadSmallFile(const char* path, size_t max, std::string* text) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno;
  const int error = ReadSmall(fd, max, text);
  close(fd);
  return error;
}

// MemAvailable in kiB, or -1 with *why set.
long long MemAvailableKiB(std::string* why) {
  std::string text;
  if (int error = ReadSmallFile("/proc/meminfo", 16384, &text)) {
    *why = "cannot read /proc/meminfo: " + ErrnoText(error);
    return -1;
  }
  const long long kib = ParseMemAvailableKiB(text);
  if (kib < 0) *why = "/proc/meminfo has no MemAvailable line";
  return kib;
}

// The 1-minute load average, or a negative value with *why set.
double LoadAverage(std::string* why) {
  std::string text;
  if (int error = ReadSmallFile("/proc/loadavg", 256, &text)) {
    *why = "cannot read /proc/loadavg: " + ErrnoText(error);
    return -1;
  }
  const double load = ParseLoadAverage(text);
  if (load < 0) *why = "/proc/loadavg holds no load average";
  return load;
}

double ParseLoad(const std::string& text) {
  char* end = nullptr;
  const double load = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(load) || load <= 0 || text[0] == ' ')
    throw UsageError("load limit '" + text + "' is not a positive number");
  return load;
}

std::string Absolute(const std::string& path, const char* option) {
  if (path.empty() || path[0] != '/')
    throw UsageError(std::string(option) + " needs an absolute path, not '" + path + "'");
  return path;
}

// Opens path for fstat only (O_PATH), without following a link at its end and refusing what
// every user could have put there: a file writable by all, any file in a directory writable by
// all without the sticky bit, and in one with the sticky bit (/tmp) a file owned by neither root
// nor snlctl's user: any user could have created it first and keep it looking healthy, while
// the application could not replace it. Returns -1 with *why set.
int OpenWatched(const std::string& path, struct stat* st, std::string* why) {
  const size_t slash = path.rfind('/');
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  const int dirFd = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    *why = "cannot open its directory: " + ErrnoText(errno);
    return -1;
  }
  struct stat dirSt;
  const bool shared = fstat(dirFd, &dirSt) == 0 && (dirSt.st_mode & S_IWOTH);
  if (shared && !(dirSt.st_mode & S_ISVTX)) {
    close(dirFd);
    *why = "its directory is writable by every user";
    return -1;
  }
  const int fd = openat(dirFd, path.c_str() + slash + 1, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  const int error = errno;
  close(dirFd);
  if (fd < 0) {
    *why = "cannot open: " + ErrnoText(error);
    return -1;
  }
  if (fstat(fd, st) != 0) {
    *why = "cannot stat: " + ErrnoText(errno);
  } else if (S_ISLNK(st->st_mode)) {
    *why = "is a symbolic link, not followed";
  } else if (st->st_mode & S_IWOTH) {
    *why = "is writable by every user";
  } else if (shared && st->st_uid != 0 && st->st_uid != geteuid()) {
    *why = "is owned by uid " + std::to_string(st->st_uid) +
           " in a directory every user may write to";
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f) c = '?';
  }
  return out;
}

struct HealthChecks::PidFile {
  std::string path;
  std::string name;
  // What was seen at the last pass: the file, the pid in it, and the start time of its process.
  bool known = false;
  dev_t dev = 0;
  ino_t ino = 0;
  int64_t mtimeNs = 0;
  long pid = 0;
  unsigned long long startTime = 0;

  std::string Check() {
    struct stat st;
    std::string why;
    const int pathFd = OpenWatched(path, &st, &why);
    if (pathFd < 0) return why;
    if (!S_ISREG(st.st_mode)) {
      close(pathFd);
      return "is not a regular file";
    }
    // Reopened through the descriptor: the name may meanwhile name another file.
    const std::string self = "/proc/self/fd/" + std::to_string(pathFd);
    const int fd = open(self.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    const int openError = errno;
    close(pathFd);
    if (fd < 0) return "cannot read: " + ErrnoText(openError);
    std::string text;
    const int error = ReadSmall(fd, 64, &text);
    close(fd);
    if (error != 0) return "cannot read: " + ErrnoText(error);
    const long p = ParsePid(text);
    if (p == 0) return "holds no pid ('" + Printable(text.substr(0, 32)) + "')";
    const std::string process = "process " + std::to_string(p);
    char state = 0;
    unsigned long long started = 0;
    std::string stat;
    if (ReadSmallFile(("/proc/" + std::to_string(p) + "/stat").c_str(), 4096, &stat) != 0 ||
        !ParseProcessStat(stat, &state, &started))
      return process + " is not running";
    if (state == 'Z' || state == 'X') return process + " has ended (a zombie)";
    std::string status;
    if (st.st_uid != 0 && st.st_uid != geteuid() &&
        (ReadSmallFile(("/proc/" + std::to_string(p) + "/status").c_str(), 16384, &status) != 0 ||
         !StatusHasUid(status, st.st_uid)))
      return process + " does not run as uid " + std::to_string(st.st_uid) +
             ", the owner of the pid file";
    const int64_t mtime = Ns(st.st_mtim);
    const bool sameFile =
        known && dev == st.st_dev && ino == st.st_ino && mtimeNs == mtime && pid == p;
    if (sameFile && started != startTime)
      return process + " is not the one that was running (the pid was reused)";
    known = true;
    dev = st.st_dev;
    ino = st.st_ino;
    mtimeNs = mtime;
    pid = p;
    startTime = started;
    return "";
  }
};

struct HealthChecks::Heartbeat {
  std::string path;
  std::string name;
  long seconds = 0;
  bool known = false;
  dev_t dev = 0;
  ino_t ino = 0;
  int64_t mtimeNs = 0;
  int64_t changedAt = 0;  // monotonic

  std::string Check(const timespec& now) {
    struct stat st;
    std::string why;
    const int fd = OpenWatched(path, &st, &why);
    if (fd < 0) return why;
    close(fd);
    const int64_t mtime = Ns(st.st_mtim);
    const int64_t limit = int64_t{seconds} * kNsPerSecond;
    if (!known) {
      timespec wall{};
      clock_gettime(CLOCK_REALTIME, &wall);
      int64_t age = Ns(wall) - mtime;
      if (age < 0) age = 0;  // in the future: timed from now on
      if (age > limit) age = limit + 1;
      changedAt = Ns(now) - age;
    } else if (dev != st.st_dev || ino != st.st_ino || mtimeNs != mtime) {
      changedAt = Ns(now);
    }
    known = true;
    dev = st.st_dev;
    ino = st.st_ino;
    mtimeNs = mtime;
    if (Ns(now) - changedAt > limit)
      return "not changed in the last " + std::to_string(seconds) + " s";
    return "";
  }
};

void TakeHealthCheckOptions(std::vector<std::string>* args, long intervalMs,
                            HealthCheckOptions* o) {
  std::string timeout, grace, memory;
  std::vector<std::string>& a = *args;
  for (size_t i = 0; i < a.size();) {
    const std::string name = a[i];
    static const char* const kNames[] = {"--check",         "--check-shell", "--pidfile",
                                         "--heartbeat",     "--min-memory",  "--max-load",
                                         "--check-timeout", "--grace"};
    bool ours = false;
    for (const char* n : kNames) ours = ours || name == n;
    if (!ours) {
      ++i;
      continue;
    }
    if (i + 1 >= a.size()) throw UsageError(name + " needs a value");
    const std::string value = a[i + 1];
    a.erase(a.begin() + static_cast<long>(i), a.begin() + static_cast<long>(i) + 2);
    auto once = [&](std::string* slot) {
      if (!slot->empty()) throw UsageError(name + " given twice");
      *slot = value;
    };
    if (name == "--check" || name == "--check-shell") {
      o->commands.push_back({value, name == "--check-shell"});
    } else if (name == "--pidfile") {
      o->pidFiles.push_back(Absolute(value, "--pidfile"));
    } else if (name == "--heartbeat") {
      const size_t colon = value.rfind(':');
      if (colon == std::string::npos)
        throw UsageError("--heartbeat needs FILE:SECONDS, not '" + value + "'");
      o->heartbeats.push_back(
          {Absolute(value.substr(0, colon), "--heartbeat"),
           ParseNumber(value.substr(colon + 1), 1, kMaxHeartbeatSeconds, "heartbeat seconds")});
    } else if (name == "--min-memory") {
      once(&memory);
      o->minMemoryMiB = ParseNumber(value, 1, kMaxMemoryMiB, "memory limit");
    } else if (name == "--max-load") {
      once(&o->maxLoad);
      ParseLoad(value);
    } else if (name == "--check-timeout") {
      once(&timeout);
      o->checkTimeoutMs = ParseNumber(value, 1, intervalMs - 1, "check timeout");
    } else {
      once(&grace);
      o->grace = ParseNumber(value, 0, kMaxGrace, "grace");
    }
  }
  for (const auto& command : o->commands) CheckCommand(command.text, command.shell);
  std::string why;
  if (o->minMemoryMiB != 0 && MemAvailableKiB(&why) < 0)
    throw UsageError("--min-memory cannot be checked here: " + why);
  if (!o->maxLoad.empty() && LoadAverage(&why) < 0)
    throw UsageError("--max-load cannot be checked here: " + why);
  if (!o->commands.empty() && o->checkTimeoutMs == 0 && intervalMs < 2)
    throw UsageError("a check command needs an interval of at least 2 ms");
}

HealthChecks::HealthChecks(const HealthCheckOptions& o, long intervalMs)
    : timeoutMs_(o.checkTimeoutMs != 0 ? o.checkTimeoutMs : intervalMs / 2),
      grace_(o.grace),
      minMemoryMiB_(o.minMemoryMiB),
      maxLoadText_(o.maxLoad) {
  for (const auto& command : o.commands)
    commands_.push_back(std::make_unique<CheckCommand>(command.text, command.shell));
  for (const std::string& path : o.pidFiles) {
    pidFiles_.push_back(std::make_unique<PidFile>());
    pidFiles_.back()->path = path;
    pidFiles_.back()->name = "pidfile " + Printable(path);
  }
  for (const auto& heartbeat : o.heartbeats) {
    heartbeats_.push_back(std::make_unique<Heartbeat>());
    heartbeats_.back()->path = heartbeat.path;
    heartbeats_.back()->name = "heartbeat " + Printable(heartbeat.path);
    heartbeats_.back()->seconds = heartbeat.seconds;
  }
  if (!maxLoadText_.empty()) maxLoad_ = ParseLoad(maxLoadText_);
}

HealthChecks::~HealthChecks() = default;

bool HealthChecks::Empty() const {
  return commands_.empty() && pidFiles_.empty() && heartbeats_.empty() && minMemoryMiB_ == 0 &&
         maxLoadText_.empty();
}

std::string HealthChecks::Describe() const {
  std::string text;
  auto add = [&](const std::string& item) { text += (text.empty() ? "" : ", ") + item; };
  for (const auto& command : commands_)
    add(command->Name() + " (" + std::to_string(timeoutMs_) + " ms)");
  for (const auto& pidFile : pidFiles_) add(pidFile->name);
  for (const auto& heartbeat : heartbeats_)
    add(heartbeat->name + " (" + std::to_string(heartbeat->seconds) + " s)");
  if (minMemoryMiB_ != 0) add("memory (" + std::to_string(minMemoryMiB_) + " MiB)");
  if (!maxLoadText_.empty()) add("load (" + maxLoadText_ + ")");
  return text + "; grace " + std::to_string(grace_);
}

void HealthChecks::StartRound(const timespec& now) {
  for (auto& command : commands_) command->Start(now, timeoutMs_);
}

bool HealthChecks::Running() const {
  for (const auto& command : commands_)
    if (command->Running()) return true;
  return false;
}

void HealthChecks::EarliestDeadline(timespec* deadline) const {
  for (const auto& command : commands_)
    if (command->Running() && Ns(command->Deadline()) < Ns(*deadline))
      *deadline = command->Deadline();
}

void HealthChecks::AddPollFds(std::vector<pollfd>* fds) const {
  for (const auto& command : commands_)
    if (command->OutputFd() >= 0) fds->push_back(pollfd{command->OutputFd(), POLLIN, 0});
}

void HealthChecks::Service(const timespec& now) {
  for (auto& command : commands_) command->Service(now);
}

bool HealthChecks::Evaluate(long ping, const timespec& now) {
  bool healthy = true;
  auto report = [&](const std::string& name, const std::string& verdict) {
    if (verdict.empty()) return;
    healthy = false;
    std::fprintf(stderr, "snlctl: health check failed before ping %ld: %s: %s\n", ping,
                 name.c_str(), verdict.c_str());
  };
  for (auto& command : commands_) {
    std::vector<std::string> output;
    report(command->Name(), command->Verdict(&output));
    for (const std::string& line : output)
      std::fprintf(stderr, "snlctl: %s said: %s\n", command->Name().c_str(), line.c_str());
  }
  for (auto& pidFile : pidFiles_) report(pidFile->name, pidFile->Check());
  for (auto& heartbeat : heartbeats_) report(heartbeat->name, heartbeat->Check(now));
  std::string why;
  if (minMemoryMiB_ != 0) {
    const long long kib = MemAvailableKiB(&why);
    if (kib >= 0 && kib / 1024 < minMemoryMiB_)
      why = std::to_string(kib / 1024) + " MiB available, below " + std::to_string(minMemoryMiB_) +
            " MiB";
    report("memory", why);
  }
  if (!maxLoadText_.empty()) {
    why.clear();
    const double load = LoadAverage(&why);
    if (load > maxLoad_) {
      char text[64];
      std::snprintf(text, sizeof text, "%.2f", load);
      why = std::string("1-minute load average ") + text + ", above " + maxLoadText_;
    }
    report("load", why);
  }
  return healthy;
}

void HealthChecks::KillAll() {
  for (auto& command : commands_) command->Kill();
}

}  // namespace snlctl

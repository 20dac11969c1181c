#include "DOdudo/KFileLogWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "DOdudo/KLogBuilder.h"
#include "DOdudo/KLogDirectory.h"
#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/SysLog.h"
#include "DOdudo/host/KAtFork.h"
#include "DOdudo/host/KFileAt.h"
#include "DOdudo/host/KInitOrder.h"

using klogdetail::Guard;

int KFileLogWriter::SecondsDisabledOnError = 30;

namespace {

// Lazy lines are written together once this much waits.
constexpr size_t kBatchBytes = 16384;

// How a failed write of lines is reported on syslog, whichever call wrote them (lines wait and go
// out at a flush or a close): operators' log scanners match this text.
constexpr const char* kLineWrite = "vfprintf";

bool IsSharedName(const std::string& name) {
  return name == "klog" || name == "messages" || name == "system";
}

std::string FormatNow(const char* format) { return dodudo::time::Format(format); }

// Writer names become paths below the log directory ("sub/x" writes sub/x.log). A name with a
// ".." component would reach outside it ("../../etc/x"), so such a name keeps only its last
// component and its file lands directly in the log directory, as when a subdirectory cannot be
// made.
std::string ContainedName(const std::string& name) {
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) {
      size_t slash = name.rfind('/');
      return slash == std::string::npos ? name : name.substr(slash + 1);
    }
    start = end + 1;
  }
  return name;
}

// The coarse monotonic clock, in nanoseconds: a tenth of the cost of the precise one, but it
// moves in steps of CoarseResolution() (a few milliseconds), so the time between two readings
// can be up to one step longer than their difference.
long long CoarseNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

long long CoarseResolution() {
  static const long long resolution = [] {
    timespec res{};
    clock_getres(CLOCK_MONOTONIC_COARSE, &res);
    return static_cast<long long>(res.tv_sec) * 1000000000LL + res.tv_nsec;
  }();
  return resolution;
}

// A deadline `seconds` from now on the coarse monotonic clock (never 0, which means "none"):
// the quiet time after an error and the retry of a rotation are intervals, which a step of the
// wall clock must neither stretch (a step back of an hour silenced the writer for the hour) nor
// cut short.
long long MonotonicSecondsFromNow(int seconds) {
  long long deadline = CoarseNs() + static_cast<long long>(seconds) * 1000000000LL;
  return deadline != 0 ? deadline : 1;
}

// Rotations asked for by the file's size: at most this many at once, then one per interval.
constexpr long long kRotationBurst = 20;
constexpr long long kRotationEvery = 10 * 1000000000LL;
// A rotation's lock is held for a moment; held longer than this, it is not one.
constexpr long long kLockBusyLimit = 1000000000LL;

// The fastest that all processes together are assumed to append to one log file: 4 GB/s, more
// than line logging reaches on any file system. From the size read last and the time since, a
// writer knows when the file cannot be past the limit yet (neither can it have been rotated by
// another process, which happens only past the limit) and spares itself reading the size.
constexpr unsigned long long kMaxAppendBytesPerNs = 4;

// "snl.20261204-134501.log" -> "snl.20261204-134501.3.log": the counter goes before the last
// '.', as for any uniquified file name.
std::string Numbered(const std::string& name, long n) {
  std::string numbered = name;
  size_t dot = numbered.rfind('.');
  char counter[24];
  snprintf(counter, sizeof counter, ".%ld", n);
  numbered.insert(dot == std::string::npos ? numbered.size() : dot, counter);
  return numbered;
}

// Every writer of the process, in a list through the writers themselves, so that lazy lines
// still waiting reach their files when the process exits (or the library is unloaded) without
// destroying the writers (the running log's logger is never destroyed, so neither is the
// manager). Head and lock are constant-initialised and need no destruction: writers made by
// other static initialisers, or destroyed after this file's statics, find them valid.
pthread_mutex_t g_writersLock = PTHREAD_MUTEX_INITIALIZER;
KFileLogWriter* g_writers = nullptr;

// Around fork() no writer is in the middle of a line, so the child may log: a writer's lock held
// by another thread at the fork would otherwise stay held in the child for ever. Every lock is
// only tried, and all are let go between rounds: a thread holding one writer's lock may be
// waiting for another's, or for the list's.
void HoldWritersForFork(void*) {
  for (;;) {
    pthread_mutex_lock(&g_writersLock);
    KFileLogWriter* failed = KFileLogWriter::TryLockAllForFork(g_writers);
    if (failed == nullptr) return;
    KFileLogWriter::UnlockForFork(g_writers, failed);
    pthread_mutex_unlock(&g_writersLock);
    sched_yield();
  }
}

void ReleaseWritersAfterFork(void*) {
  KFileLogWriter::UnlockForFork(g_writers, nullptr);
  pthread_mutex_unlock(&g_writersLock);
}

// The locks are recursive and held by the parent's thread id, which the child's thread does not
// have: they are made anew (the list's lock is a plain one and is simply unlocked).
void RenewWritersInChild(void*) {
  KFileLogWriter::RenewLocksInChild(g_writers);
  pthread_mutex_unlock(&g_writersLock);
}

// Registered when the library loads, never under a lock of a writer or of the log manager, and
// before any log manager (the watchdog controller makes one while it loads) registers its own:
// the writers' locks are then taken after the manager's, as a logging thread takes them.
struct ForkHandlers {
  ForkHandlers() {
    dodudo::KAtFork::RegisterInnermost(&HoldWritersForFork, &ReleaseWritersAfterFork,
                                       &RenewWritersInChild, nullptr);
  }
} g_forkHandlers DODUDO_INIT_TOOLKIT;

// Built before the controller and so destroyed after it: what it logs on its way out is flushed.
struct ExitFlush {
  ~ExitFlush() { KFileLogWriter::FlushAll(); }
} g_exitFlush DODUDO_INIT_TOOLKIT;

}  // namespace

KFileLogWriter::KFileLogWriter(const char* name)
    : currentDay_(static_cast<unsigned int>(klogdetail::LocalNow().day)),
      name_(name != nullptr ? name : ""),
      closeAfterFlush_(name_.empty() || IsSharedName(name_)) {
  std::string contained = ContainedName(name_);
  if (!contained.empty() && contained.find('/') == std::string::npos) {
    flatFile_ = contained;
    if (flatFile_.find(".log") == std::string::npos) flatFile_ += ".log";
  }
  {
    Guard guard(&g_writersLock);
    nextWriter_ = g_writers;
    if (g_writers != nullptr) g_writers->previousWriter_ = this;
    g_writers = this;
  }
  if (name_.empty()) OpenLogMonitor();
}

KFileLogWriter::~KFileLogWriter() {
  {
    Guard guard(&g_writersLock);
    if (previousWriter_ != nullptr) previousWriter_->nextWriter_ = nextWriter_;
    if (nextWriter_ != nullptr) nextWriter_->previousWriter_ = previousWriter_;
    if (g_writers == this) g_writers = nextWriter_;
  }
  Close();
}

KFileLogWriter* KFileLogWriter::TryLockAllForFork(KFileLogWriter* first) {
  for (KFileLogWriter* writer = first; writer != nullptr; writer = writer->nextWriter_)
    if (pthread_mutex_trylock(writer->GetMutex()) != 0) return writer;
  return nullptr;
}

void KFileLogWriter::UnlockForFork(KFileLogWriter* first, KFileLogWriter* end) {
  for (KFileLogWriter* writer = first; writer != end; writer = writer->nextWriter_)
    pthread_mutex_unlock(writer->GetMutex());
}

void KFileLogWriter::RenewLocksInChild(KFileLogWriter* first) {
  for (KFileLogWriter* writer = first; writer != nullptr; writer = writer->nextWriter_)
    dodudo::KAtFork::RenewHeldRecursiveMutex(writer->GetMutex());
}

void KFileLogWriter::FlushAll() {
  Guard guard(&g_writersLock);
  for (KFileLogWriter* writer = g_writers; writer != nullptr; writer = writer->nextWriter_) {
    writer->Flush(false);
  }
}

bool KFileLogWriter::IsOpen() {
  Guard guard(lock_);
  return fd_ >= 0;
}

std::string KFileLogWriter::Path() {
  Guard guard(lock_);
  return path_;
}

void KFileLogWriter::Open(const char* name) {
  Guard guard(lock_);
  OpenFile(name);
}

void KFileLogWriter::OpenFile(const char* name) {
  if (fd_ >= 0) return;
  if (name == nullptr || name[0] == '\0') {
    KLogger::InternalLog(klogWarning, "Trying to open a log file with null or empty filename.");
    return;
  }
  std::string computed;
  const std::string* fileName = &flatFile_;
  int dir = klogdetail::LogDirectoryFd();
  mode_t mode = klogdetail::LogDirectoryMode();
  bool own = false;
  if (!flatFile_.empty() && name_ == name) {
    // The usual case, and the one of the shared files opened for every line: a file directly in
    // the log directory, named once.
    if (path_.empty()) path_ = klogdetail::LogDirectoryPath() + flatFile_;
  } else {
    std::string full = ContainedName(name);
    size_t slash = full.rfind('/');
    std::string dirPart = slash == std::string::npos ? "" : full.substr(0, slash + 1);
    std::string path = klogdetail::LogDirectoryPath();
    if (!dirPart.empty()) {
      // Created and opened without following a link: a planted "sub" link sends the file to D.
      int sub = dodudo::file::OpenDirectoryBeneath(dir, dirPart, true);
      struct stat info {};
      if (sub >= 0 && fstat(sub, &info) == 0) {
        path += dirPart;
        dir = sub;
        mode = info.st_mode;
        own = true;
      } else if (sub >= 0) {
        close(sub);
      }
    }
    computed = slash == std::string::npos ? full : full.substr(slash + 1);
    if ((path + computed).find(".log") == std::string::npos) computed += ".log";
    path_ = path + computed;
    fileName = &computed;
  }
  fd_ = _InternalOpen(dir, mode, *fileName);
  if (fd_ < 0) {
    if (own) close(dir);
    return;
  }
  dirFd_ = dir;
  ownDirFd_ = own;
  dirMode_ = mode;
  if (fileName_ != *fileName) fileName_ = *fileName;
  if (!closeAfterFlush_) {
    pathCheckedAt_ = CoarseNs();
    // A file kept open starts its count from its size. A shared one, opened for every line, is
    // the same file as before unless its size says otherwise (WriteOut).
    off64_t end = lseek64(fd_, 0, SEEK_END);
    size_ = end >= 0 ? static_cast<unsigned long long>(end) : 0;
    sizeReadAt_ = pathCheckedAt_;
  }
}

int KFileLogWriter::_InternalOpen(int dirFd, mode_t dirMode, const std::string& fileName) {
  if (WriteDisabled(false)) return -1;
  int fd = klogdetail::OpenLogFileAt(dirFd, dirMode, fileName.c_str());
  if (fd < 0) WriteError("fopen");
  return fd;
}

void KFileLogWriter::CloseFile() {
  if (fd_ < 0) return;
  int fd = fd_;
  fd_ = -1;
  if (ownDirFd_) close(dirFd_);
  dirFd_ = -1;
  ownDirFd_ = false;
  if (close(fd) != 0 && errno != EINTR) WriteError("fclose");
}

bool KFileLogWriter::Close() {
  Guard guard(lock_);
  if (fd_ < 0) return false;
  WriteOut(kLineWrite);
  CloseFile();
  return true;
}

void KFileLogWriter::WriteOutAndClose() {
  if (fd_ < 0) return;
  WriteOut(kLineWrite);
  CloseFile();
}

void KFileLogWriter::Reopen() {
  CloseFile();
  OpenFile(name_.c_str());
}

void KFileLogWriter::CheckSizeAndRotate() {
  if (fd_ < 0) {
    OpenFile(name_.c_str());
    if (fd_ < 0) return;
  }
  // Lines waiting with the file past the limit go out now: the next line finds the file past it
  // and goes to a new one (WriteOut reads the real size and rotates).
  if (!out_.empty() && size_ + out_.size() > KLogger::MaxLogSize()) WriteOut(kLineWrite);
}

bool KFileLogWriter::PathNamesOpenFile() {
  // The 64-bit calls: on 32-bit x86 the plain ones fail for a file past 2 GB.
  struct stat64 open {}, named {};
  return fstat64(fd_, &open) == 0 &&
         fstatat64(dirFd_, fileName_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

void KFileLogWriter::Rotate() {
  Guard guard(lock_);
  if (fd_ < 0) return;
  WriteOut(kLineWrite);
  if (fd_ >= 0) RotateFile(CoarseNs(), false);
}

bool KFileLogWriter::RotateFile(long long now, bool mayDefer) {
  // Two processes may decide at once: the one that gets the lock rotates, the other finds that the
  // path names a new file and only follows. The lock is only tried, never waited for: any member
  // of the log group can open the file and hold it for as long as it likes, and this runs with
  // the writer's mutex held. A busy lock defers the rotation by a moment (another process is
  // rotating: the next line follows it); still busy after kLockBusyLimit, it is not a rotation,
  // and the file is rotated without it: the check of the name and a rename that never replaces
  // keep every file all the same.
  bool locked = flock(fd_, LOCK_EX | LOCK_NB) == 0;
  if (!locked && mayDefer) {
    if (lockBusySince_ == 0) lockBusySince_ = now;
    if (now - lockBusySince_ < kLockBusyLimit) return false;
  }
  lockBusySince_ = 0;
  if (PathNamesOpenFile()) RenameOlderRotations();
  // Unlocked explicitly: a child process may share this descriptor, and closing it here would
  // then not release the lock.
  if (locked) flock(fd_, LOCK_UN);
  Reopen();
  return true;
}

bool KFileLogWriter::RotateOrFollow(long long now) {
  if (!PathNamesOpenFile()) {
    Reopen();  // another process rotated it
    return true;
  }
  if (now < rotateRetryAt_) return false;
  // Rotations the size asks for are rationed, as the size is anybody's to claim (a member of the
  // log group can truncate the live file sparse past the limit again and again): a rotation is
  // earned by writing a sixteenth of the limit since the last one, or else taken from a ration
  // of kRotationBurst at once and one per kRotationEvery. A writer that really writes faster
  // than that only makes files larger than the limit, it loses nothing.
  const bool earned = writtenSinceRotation_ >= KLogger::MaxLogSize() / 16;
  if (!earned && now < rotationClock_ - (kRotationBurst - 1) * kRotationEvery) return false;
  if (!RotateFile(now, true)) return false;
  if (!earned) rotationClock_ = (rotationClock_ > now ? rotationClock_ : now) + kRotationEvery;
  writtenSinceRotation_ = 0;
  return true;
}

// The live file moves to D/old/<name>.YYYYMMDD-HHMMSS.log, e.g.
//   /var/log/tolma/snl.log -> /var/log/tolma//old/snl.20261204-134501.log
// and a second rotation within the same second gets snl.20261204-134501.1.log. The name is
// taken with a rename that never replaces: two processes rotating in the same second both keep
// their files.
void KFileLogWriter::RenameOlderRotations() {
  std::string name = ContainedName(name_);
  size_t slash = name.rfind('/');
  // A name with a directory part (sub/x) rotates into old/sub/.
  std::string relative = "old/" + (slash == std::string::npos ? "" : name.substr(0, slash + 1));
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  int oldDir = dodudo::file::OpenDirectoryBeneath(klogdetail::LogDirectoryFd(), relative, true);
  if (oldDir < 0) {
    // old/ (or a part of it) is a link or cannot be made: the file stays and keeps growing.
    rotateRetryAt_ = MonotonicSecondsFromNow(SecondsDisabledOnError);
    return;
  }
  dodudo::time::KSystemTime t = klogdetail::LocalNow();
  std::string target;
  klogdetail::AppendFormat(target, "%s.%04d%02d%02d-%02d%02d%02d.log", base.c_str(), t.year,
                           t.month, t.day, t.hour, t.minute, t.second);
  int result = EEXIST;
  for (long n = 0; n <= 100 && result == EEXIST; ++n) {
    result = dodudo::file::RenameNoReplace(dirFd_, fileName_.c_str(), oldDir,
                                           n == 0 ? target.c_str() : Numbered(target, n).c_str());
  }
  for (long stamp = static_cast<long>(dodudo::time::UnixTime()); result == EEXIST; ++stamp) {
    result = dodudo::file::RenameNoReplace(dirFd_, fileName_.c_str(), oldDir,
                                           Numbered(target, stamp).c_str());
  }
  if (result != 0) rotateRetryAt_ = MonotonicSecondsFromNow(SecondsDisabledOnError);
  close(oldDir);
}

void KFileLogWriter::PrepareToWrite() {
  unsigned long long limit = KLogger::MaxLogSize();
  long long now = CoarseNs();
  // The file's real size: read when what every process may have appended since the last
  // reading could have taken it past the limit.
  bool moved = false;
  // Never less than the real time since the reading.
  long long elapsed = now - sizeReadAt_ + (sizeReadAt_ == 0 ? 0 : CoarseResolution());
  if (size_ > limit || sizeReadAt_ == 0 || elapsed < 0 ||
      static_cast<unsigned long long>(elapsed) >= (limit - size_) / kMaxAppendBytesPerNs) {
    off64_t end = lseek64(fd_, 0, SEEK_END);
    if (end >= 0) size_ = static_cast<unsigned long long>(end);
    sizeReadAt_ = now;
    if (size_ > limit) moved = RotateOrFollow(now);
  }
  if (!moved && !closeAfterFlush_ && now - pathCheckedAt_ >= 1000000000LL) {
    // Once a second: the file may have been removed or moved by hand (or rotated by another
    // process under a different limit).
    pathCheckedAt_ = now;
    if (!PathNamesOpenFile()) {
      Reopen();
      moved = true;
    }
  }
  if (moved && fd_ >= 0) {
    off64_t end = lseek64(fd_, 0, SEEK_END);
    size_ = end >= 0 ? static_cast<unsigned long long>(end) : 0;
    sizeReadAt_ = now;
  }
}

size_t KFileLogWriter::ChunkEnd(size_t from) const {
  unsigned long long limit = KLogger::MaxLogSize();
  if (size_ > limit || size_ + (out_.size() - from) <= limit) return out_.size();
  // Waiting lines that take the file past the limit: the first line that finds it past the
  // limit starts the next chunk, which goes to a new file.
  for (size_t end : pieceEnds_) {
    if (end > from && size_ + (end - from) > limit) return end;
  }
  return out_.size();
}

bool KFileLogWriter::WriteAll(const char* data, size_t length, const char* operation) {
  while (length > 0) {
    ssize_t n = write(fd_, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      WriteError(operation);
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
    size_ += static_cast<unsigned long long>(n);
    writtenSinceRotation_ += static_cast<unsigned long long>(n);
  }
  return true;
}

bool KFileLogWriter::WriteOut(const char* operation) {
  if (out_.empty() || fd_ < 0) return true;
  bool written = true;
  size_t done = 0;
  while (written && done < out_.size()) {
    PrepareToWrite();
    if (fd_ < 0) {
      // The live file cannot be opened: what waits is kept for the next open.
      pending_.insert(0, out_, done, std::string::npos);
      written = false;
      break;
    }
    size_t end = ChunkEnd(done);
    written = WriteAll(out_.data() + done, end - done, operation);
    done = end;
  }
  pieceEnds_.clear();
  if (out_.capacity() > 4 * kBatchBytes) {
    std::string().swap(out_);  // one very long line does not keep its memory
  } else {
    out_.clear();
  }
  return written;
}

void KFileLogWriter::Append(const char* text, size_t length) {
  if (WriteDisabled(true)) return;
  CheckSizeAndRotate();
  if (fd_ < 0) {
    pending_.append(text, length);
    return;
  }
  if (!pending_.empty()) {
    out_ += pending_;
    pending_.clear();
    pieceEnds_.push_back(out_.size());
  }
  out_.append(text, length);
  pieceEnds_.push_back(out_.size());
}

void KFileLogWriter::Write(const char* format, va_list args) {
  if (format == nullptr) return;
  std::string text;
  klogdetail::AppendVFormat(text, format, args);
  Guard guard(lock_);
  Append(text.data(), text.size());
}

void KFileLogWriter::WriteText(const char* text, size_t length) {
  if (text == nullptr) return;
  Guard guard(lock_);
  Append(text, length);
}

void KFileLogWriter::Write(const char* text) {
  if (text == nullptr) return;
  Guard guard(lock_);
  Append(text, strlen(text));
}

void KFileLogWriter::Flush(bool lazy) {
  Guard guard(lock_);
  if (fd_ < 0) return;
  if (closeAfterFlush_) {
    WriteOutAndClose();
  } else if (!lazy || out_.size() >= kBatchBytes) {
    WriteOut(kLineWrite);
  }
}

void KFileLogWriter::CheckDay(unsigned int day) {
  // Every line asks, before it takes the writer's lock: the answer is nearly always "same day".
  if (day == currentDay_.load(std::memory_order_relaxed)) return;
  Guard guard(lock_);
  if (day == currentDay_.load(std::memory_order_relaxed)) return;
  currentDay_.store(day, std::memory_order_relaxed);
  dodudo::time::KSystemTime t = klogdetail::LocalNow();
  std::string banner;
  klogdetail::AppendFormat(banner,
                           "\n\n*****[ DATE ]*********************/ %02d/%02d/%04d "
                           "%02d:%02d:%02d /*****\n",
                           t.day, t.month, t.year, t.hour, t.minute, t.second);
  Write(banner.c_str());
}

void KFileLogWriter::PrintLogOpened() {
  Guard guard(lock_);
  if (fd_ < 0) return;
  dodudo::time::KSystemTime t = klogdetail::LocalNow();
  std::string banner;
  klogdetail::AppendFormat(banner,
                           "\n\n*****[ LOG OPENED ]***************************/ %02d-%02d-%04d "
                           "%02d:%02d:%02d /*****\n",
                           t.day, t.month, t.year, t.hour, t.minute, t.second);
  char exe[256];
  if (KHostSystem::GetExeName(exe, sizeof exe, true)) {
    klogdetail::AppendFormat(banner, "Application: %s\n", exe);
  }
  klogdetail::AppendFormat(banner, "PID: %d\n\n", KHostSystem::GetCurrentProcId());
  Append(banner.data(), banner.size());  // counted against the size limit like any line
}

void KFileLogWriter::WriteError(const char* operation) {
  int error = errno;
  std::string message;
  klogdetail::AppendFormat(message, "%s(3) failed: (%d) %s. Log %s disabled by 30 seconds.\n",
                           operation, error, strerror(error), name_.c_str());
  SysLog(klogWarning, message.c_str());
  if (lastErrno_ == 0) {
    lastErrno_ = error != 0 ? error : EIO;
    lostSince_ = FormatNow("%d/%m/%Y %H:%M:%S");
  }
  disabledUntil_ = MonotonicSecondsFromNow(SecondsDisabledOnError);
}

bool KFileLogWriter::WriteDisabled(bool tryRecover) {
  if (disabledUntil_ == 0) return false;
  if (CoarseNs() < disabledUntil_) return true;
  if (!tryRecover) return false;
  if (fd_ < 0) {
    OpenFile(name_.c_str());
    if (fd_ < 0) return true;
  }
  std::string banner;
  klogdetail::AppendFormat(banner,
                           "\n*****[ I/O ERROR ]***** %s ***** Lost messages since %s, due to "
                           "write error (%d) %s.\n\n",
                           FormatNow("%d/%m/%Y %H:%M:%S").c_str(), lostSince_.c_str(), lastErrno_,
                           strerror(lastErrno_));
  // The banner goes before anything that waits.
  out_.insert(0, banner);
  for (size_t& end : pieceEnds_) end += banner.size();
  pieceEnds_.insert(pieceEnds_.begin(), banner.size());
  if (!WriteOut("fprintf(3) or fflush")) return true;
  disabledUntil_ = 0;
  lastErrno_ = 0;
  lostSince_.clear();
  return false;
}

void KFileLogWriter::OpenLogMonitor() {
  Guard guard(lock_);
  if (fd_ >= 0) {
    KLogger::InternalLog(klogNotice, "KLogger monitor is already open. File [%s]", path_.c_str());
    return;
  }
  name_ = "klog";
  path_ = KLogger::GetLogDirectory() + "klog.log";
  int fd = klogdetail::OpenLogFileAt(klogdetail::LogDirectoryFd(), klogdetail::LogDirectoryMode(),
                                     "klog.log");
  if (fd < 0) {
    SysLog(klogError, "Could not open internal log file, logs may not work!");
    KLogManager::SetInternalLogOff();
    return;
  }
  fd_ = fd;
  dirFd_ = klogdetail::LogDirectoryFd();
  dirMode_ = klogdetail::LogDirectoryMode();
  fileName_ = "klog.log";
  flatFile_ = "klog.log";
  char exe[256];
  if (!KHostSystem::GetExeName(exe, 255, false)) snprintf(exe, sizeof exe, "unknown");
  KLogBuilder builder;
  builder.Constructor(this, nullptr, false);
  builder.level = klogNotice;
  builder.Log("| ");
  KLogManager* manager = KLogManager::Instance();
  builder.Log("Loading module app: [%s] pid: [%d] mod: [%s]", exe, KHostSystem::GetCurrentProcId(),
              manager != nullptr ? manager->GetModuleName() : "");
}

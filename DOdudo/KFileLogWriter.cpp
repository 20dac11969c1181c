#include "DOdudo/KFileLogWriter.h"

#include <errno.h>
#include <stdio_ext.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>

#include "DOdudo/KLogBuilder.h"
#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/SysLog.h"

using klogdetail::Guard;

int KFileLogWriter::SecondsDisabledOnError = 30;

namespace {

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

}  // namespace

KFileLogWriter::KFileLogWriter(const char* name)
    : currentDay_(static_cast<unsigned int>(klogdetail::LocalNow().day)),
      name_(name != nullptr ? name : ""),
      closeAfterFlush_(name_.empty() || IsSharedName(name_)) {
  if (name_.empty()) OpenLogMonitor();
}

KFileLogWriter::~KFileLogWriter() { Close(); }

bool KFileLogWriter::IsOpen() {
  Guard guard(lock_);
  return file_ != nullptr;
}

std::string KFileLogWriter::Path() {
  Guard guard(lock_);
  return path_;
}

void KFileLogWriter::Open(const char* name) {
  Guard guard(lock_);
  if (file_ != nullptr) return;
  if (name == nullptr || name[0] == '\0') {
    KLogger::InternalLog(klogWarning, "Trying to open a log file with null or empty filename.");
    return;
  }
  std::string full = ContainedName(name);
  size_t slash = full.rfind('/');
  std::string dirPart = slash == std::string::npos ? "" : full.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? full : full.substr(slash + 1);
  std::string dir = KLogger::GetLogDirectory();
  std::string path = dir;
  if (!dirPart.empty() && !KHostSystem::MakeDirectory((dir + dirPart).c_str())) path += dirPart;
  path += base;
  if (path.find(".log") == std::string::npos) path += ".log";
  file_ = _InternalOpen(path);
  path_ = path;
}

FILE* KFileLogWriter::_InternalOpen(const std::string& path) {
  if (WriteDisabled(false)) return nullptr;
  FILE* file = fopen(path.c_str(), "a");
  if (file == nullptr) {
    WriteError("fopen");
    return nullptr;
  }
  struct stat st;
  size_ = fstat(fileno(file), &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
  return file;
}

bool KFileLogWriter::Close() {
  Guard guard(lock_);
  if (file_ == nullptr) return false;
  FILE* file = file_;
  file_ = nullptr;
  if (fclose(file) != 0) WriteError("fclose");
  return true;
}

void KFileLogWriter::CheckSizeAndRotate() {
  if (file_ == nullptr) {
    Open(name_.c_str());
    if (file_ == nullptr) return;
  }
  if (size_ > KLogger::MaxLogSize()) Rotate();
}

void KFileLogWriter::Rotate() {
  Guard guard(lock_);
  if (file_ == nullptr) return;
  Close();
  RenameOlderRotations();
  Open(name_.c_str());
}

// The live file moves to D/old/<name>.YYYYMMDD-HHMMSS.log, e.g.
//   /var/log/tolma/snl.log -> /var/log/tolma//old/snl.20261204-134501.log
// and a second rotation within the same second gets snl.20261204-134501.1.log.
void KFileLogWriter::RenameOlderRotations() {
  std::string dir = KLogger::GetLogDirectory();
  dodudo::time::KSystemTime t = klogdetail::LocalNow();
  std::string target;
  klogdetail::AppendFormat(target, "%s%cold%c%s.%04d%02d%02d-%02d%02d%02d.log", dir.c_str(), '/',
                           '/', ContainedName(name_).c_str(), t.year, t.month, t.day, t.hour, t.minute, t.second);
  // A name with a directory part (sub/x) rotates into old/sub/.
  KHostSystem::MakeDirectory(target.substr(0, target.rfind('/')).c_str());
  target = dodudo::file::UniquifyFilename(target);
  // The file actually written (path_), not a name rebuilt from the writer name, which would
  // miss names such as a.log.b or sub/x whose directory could not be made.
  rename(path_.c_str(), target.c_str());
}

void KFileLogWriter::WritePending() {
  if (pending_.empty()) return;
  size_t written = fwrite(pending_.data(), 1, pending_.size(), file_);
  Account(static_cast<long>(written));
  if (written < pending_.size() && ferror(file_)) WriteError("fwrite");
  pending_.clear();
}

void KFileLogWriter::Write(const char* format, va_list args) {
  Guard guard(lock_);
  if (format == nullptr || WriteDisabled(true)) return;
  CheckSizeAndRotate();
  if (file_ == nullptr) {
    klogdetail::AppendVFormat(pending_, format, args);
    return;
  }
  WritePending();
  int n;
  if (strcmp(format, "%s\n") == 0) {
    // The logger front end's one line: no format to interpret.
    const char* line = va_arg(args, const char*);
    size_t length = strlen(line);
    n = fwrite(line, 1, length, file_) == length && putc('\n', file_) != EOF
            ? static_cast<int>(length + 1)
            : -1;
  } else {
    n = vfprintf(file_, format, args);
  }
  if (n < 0) {
    WriteError("vfprintf");
    return;
  }
  Account(n);
}

void KFileLogWriter::Write(const char* text) {
  Guard guard(lock_);
  if (text == nullptr || WriteDisabled(true)) return;
  CheckSizeAndRotate();
  if (file_ == nullptr) {
    pending_ += text;
    return;
  }
  WritePending();
  if (fputs(text, file_) < 0) {
    WriteError("fputs");
    return;
  }
  Account(static_cast<long>(strlen(text)));
}

void KFileLogWriter::Flush(bool lazy) {
  Guard guard(lock_);
  if (file_ == nullptr) return;
  if (closeAfterFlush_) {
    Close();
  } else if (!lazy && fflush(file_) != 0) {
    WriteError("fflush");
  }
}

void KFileLogWriter::CheckDay(unsigned int day) {
  Guard guard(lock_);
  if (day == currentDay_) return;
  currentDay_ = day;
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
  if (file_ == nullptr) return;
  dodudo::time::KSystemTime t = klogdetail::LocalNow();
  fprintf(file_,
          "\n\n*****[ LOG OPENED ]***************************/ %02d-%02d-%04d %02d:%02d:%02d "
          "/*****\n",
          t.day, t.month, t.year, t.hour, t.minute, t.second);
  char exe[256];
  if (KHostSystem::GetExeName(exe, sizeof exe, true)) fprintf(file_, "Application: %s\n", exe);
  fprintf(file_, "PID: %d\n\n", KHostSystem::GetCurrentProcId());
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
  disabledUntil_ = dodudo::time::UnixTime() + static_cast<unsigned int>(SecondsDisabledOnError);
  if (file_ != nullptr) {
    // What the failed call left in the stream buffer is part of the lost text; keeping it would
    // replay half a line in front of the recovery banner.
    __fpurge(file_);
    clearerr(file_);
  }
}

bool KFileLogWriter::WriteDisabled(bool tryRecover) {
  if (disabledUntil_ == 0) return false;
  if (dodudo::time::UnixTime() < disabledUntil_) return true;
  if (!tryRecover) return false;
  if (file_ == nullptr) {
    Open(name_.c_str());
    if (file_ == nullptr) return true;
  }
  std::string now = FormatNow("%d/%m/%Y %H:%M:%S");
  int printed = fprintf(file_,
                        "\n*****[ I/O ERROR ]***** %s ***** Lost messages since %s, due to write "
                        "error (%d) %s.\n\n",
                        now.c_str(), lostSince_.c_str(), lastErrno_, strerror(lastErrno_));
  if (printed < 0 || fflush(file_) != 0) {
    WriteError("fprintf(3) or fflush");
    return true;
  }
  Account(printed);
  disabledUntil_ = 0;
  lastErrno_ = 0;
  lostSince_.clear();
  return false;
}

void KFileLogWriter::OpenLogMonitor() {
  Guard guard(lock_);
  if (file_ != nullptr) {
    KLogger::InternalLog(klogNotice, "KLogger monitor is already open. File [%s]", path_.c_str());
    return;
  }
  name_ = "klog";
  path_ = KLogger::GetLogDirectory() + "klog.log";
  file_ = fopen(path_.c_str(), "a");
  if (file_ == nullptr) {
    SysLog(klogError, "Could not open internal log file, logs may not work!");
    KLogManager::SetInternalLogOff();
    return;
  }
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

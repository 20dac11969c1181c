#pragma once

#include <cstdio>
#include <string>

#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogWriter.h"

// The writer that puts the lines of one writer name into one file of the log directory D
// (/var/log/tolma/): D + name + ".log" (no second ".log" when the name already holds one; a
// directory part of the name becomes a subdirectory of D). The file is opened at the first line,
// gets a DATE banner when the day changes, and is moved into D/old/ with a time stamp once it
// has grown past the filter's MaxLogFileSize. The shared files "klog", "messages" and "system"
// are closed after every line so that several processes can append to them.
//
// I/O failures never reach the caller: a failing open, write, flush or close is reported to
// syslog and disables the writer for SecondsDisabledOnError seconds, during which lines are
// dropped (the one line that found the file unopenable waits in `pending`). The first line after
// the period writes an I/O ERROR banner naming the first failure, then carries on.
//
// Threading: every public operation may be called from any thread. Loggers hold GetMutex()
// around Write+Flush of one line; CheckDay, Close and Rotate take it themselves. The lock is
// recursive, so rotation inside a write is safe.
class DODUDO_API KFileLogWriter : public KLogWriter {
 public:
  // A null or empty name makes the monitor log ("klog"), opened at once.
  explicit KFileLogWriter(const char* name);
  ~KFileLogWriter() override;  // closes the file; pending text is dropped

  pthread_mutex_t* GetMutex() override { return lock_.GetMutex(); }
  void SetBinary(bool binary) override { binaryMode_ = binary; }
  void CheckDay(unsigned int day) override;
  void Write(const char* format, va_list args) override;
  void Flush(bool lazy) override;
  dodudo::kstring Name() override { return name_; }
  virtual void PrintLogOpened();

  void Write(const char* text);
  void Open(const char* name);
  bool Close();  // true when a stream was closed
  void Rotate();
  bool IsOpen();
  std::string Path();  // the file last opened (or tried)

  static int SecondsDisabledOnError;

 protected:
  FILE* _InternalOpen(const std::string& path);
  void CheckSizeAndRotate();
  void RenameOlderRotations();
  void WriteError(const char* operation);
  bool WriteDisabled(bool tryRecover);
  void OpenLogMonitor();

 private:
  void WritePending();
  void Account(long bytes) {
    if (bytes > 0) size_ += static_cast<unsigned long long>(bytes);
  }

  FILE* file_ = nullptr;
  dodudo::KThreadMutex lock_;
  unsigned int currentDay_;
  std::string name_;
  std::string path_;
  std::string pending_;
  unsigned int disabledUntil_ = 0;
  int lastErrno_ = 0;
  std::string lostSince_;
  bool closeAfterFlush_;
  bool binaryMode_ = false;
  // Size of the open file: taken with fstat when it opens, then counted as we write, so a line
  // costs no seek and lazy lines really stay in the stream buffer.
  unsigned long long size_ = 0;
};

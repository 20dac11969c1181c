#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogWriter.h"

// The writer that puts the lines of one writer name into one file of the log directory D
// (/var/log/tolma/): D + name + ".log" (no second ".log" when the name already holds one; a
// directory part of the name becomes a subdirectory of D). The file is opened at the first line,
// gets a DATE banner when the day changes, and is moved into D/old/ with a time stamp once it
// has grown past the filter's MaxLogFileSize. The shared files "klog", "messages" and "system"
// are closed after every line.
//
// Several processes write the same files at once, so:
// - a line (whatever its length) reaches the file in one write(2) on an O_APPEND descriptor and
//   never interleaves with another process's line; lines of lazily flushed loggers wait in the
//   writer and go out together, whole, in one write;
// - the size judged against the limit is the file's own (what every process wrote), read before
//   text goes out whenever the other processes could have taken it past the limit since the
//   last reading (assuming they append at most 4 GB/s together), so far from the limit it costs
//   nothing; waiting lazy lines are split at the line that finds the file past the limit. A file
//   that is past the limit and no longer the one the path names was rotated by another process:
//   this one follows to the live file. The path is also compared
//   with the open file once a second, so a file removed or moved by hand is left as well;
// - rotation is done only when the path still names the file, into a name of old/ that is never
//   replaced (".1", ".2" ... when taken), under an flock of the file, which is only tried (group
//   members can hold it): a busy lock defers the rotation by a moment, and after a second of
//   it the rotation goes ahead without the lock; rotations the file's size asks for are
//   rationed, whatever size the file claims: each takes a sixteenth of the limit written by this
//   writer since the last one, or else one of a ration of 20 at once and one per 10 seconds;
// - nothing beneath D follows a symbolic link: files are opened with O_NOFOLLOW (and O_NONBLOCK,
//   so a planted FIFO cannot block), subdirectories and old/ are walked without following links,
//   and a rotation that would go through a link is not made (the file keeps growing; it is
//   tried again 30 seconds later).
//
// I/O failures never reach the caller: a failing open, write or close is reported to syslog and
// disables the writer for SecondsDisabledOnError seconds, during which lines are dropped (the one
// line that found the file unopenable waits in `pending`). The first line after the period writes
// an I/O ERROR banner naming the first failure, then carries on.
//
// Fork: the child of a process whose threads were writing gets every writer whole and unlocked
// (at-fork handlers hold all writers still across the fork).
//
// Threading: every public operation may be called from any thread. Loggers hold GetMutex()
// around Write+Flush of one line; the other operations take it themselves. The lock is
// recursive, so rotation inside a write is safe. Lazy lines still waiting are written when the
// writer is flushed, closed or destroyed, and when the process exits.
class DODUDO_API KFileLogWriter : public KLogWriter {
 public:
  // A null or empty name makes the monitor log ("klog"), opened at once.
  explicit KFileLogWriter(const char* name);
  ~KFileLogWriter() override;  // writes what waits, closes the file; pending text is dropped

  pthread_mutex_t* GetMutex() override { return lock_.GetMutex(); }
  void SetBinary(bool binary) override { binaryMode_ = binary; }
  void CheckDay(unsigned int day) override;
  void Write(const char* format, va_list args) override;
  void WriteText(const char* text, size_t length) override;
  // Lazy: what waits goes out only once it reaches 16 KB. Otherwise it goes out now, and a
  // shared file is closed.
  void Flush(bool lazy) override;
  dodudo::kstring Name() override { return name_; }
  virtual void PrintLogOpened();

  void Write(const char* text);
  void Open(const char* name);
  bool Close();  // true when a file was closed
  void Rotate();
  bool IsOpen();
  std::string Path();  // the file last opened (or tried)

  static int SecondsDisabledOnError;
  // Writes what waits in every writer of the process (done at exit and unload).
  static void FlushAll();

  // For the at-fork handlers of the writers' list (which hold the list's lock around them): try
  // every writer's lock from `first` on, returning the one that was busy (null: all taken);
  // unlock those from `first` up to `end`; make them anew in a forked child.
  static KFileLogWriter* TryLockAllForFork(KFileLogWriter* first);
  static void UnlockForFork(KFileLogWriter* first, KFileLogWriter* end);
  static void RenewLocksInChild(KFileLogWriter* first);

 protected:
  // The descriptor of `fileName` in the directory `dirFd` (of mode `dirMode`), or -1.
  int _InternalOpen(int dirFd, mode_t dirMode, const std::string& fileName);
  void CheckSizeAndRotate();
  void RenameOlderRotations();
  void WriteError(const char* operation);
  bool WriteDisabled(bool tryRecover);
  void OpenLogMonitor();

 private:
  // The one path of every piece of text (lock held).
  void Append(const char* text, size_t length);
  // Open and Close without taking the lock.
  void OpenFile(const char* name);
  void WriteOutAndClose();
  // Writes what waits in `out_` in one write(2), rotating first when the file is past the limit
  // or following another process's rotation. False after a failure (reported as `operation`).
  bool WriteOut(const char* operation);
  // Before a write: reads the size when needed and rotates or follows a rotation.
  void PrepareToWrite();
  // End of the part of `out_` from `from` that goes to the present file.
  size_t ChunkEnd(size_t from) const;
  bool WriteAll(const char* data, size_t length, const char* operation);
  // The file went past the limit: rotate it (unless rationed), or follow the rotation another
  // process made. True when the writer now has another file.
  bool RotateOrFollow(long long now);
  // Renames the open file into old/ unless another process did already, then opens the live one.
  // With mayDefer, a lock held by another process defers it for a moment (false).
  bool RotateFile(long long now, bool mayDefer);
  bool PathNamesOpenFile();
  void Reopen();
  void CloseFile();

  int fd_ = -1;
  dodudo::KThreadMutex lock_;
  std::atomic<unsigned int> currentDay_;
  std::string name_;
  std::string path_;
  std::string pending_;
  // End of the quiet time after an I/O error (coarse monotonic ns); 0 while enabled.
  long long disabledUntil_ = 0;
  int lastErrno_ = 0;
  std::string lostSince_;
  bool closeAfterFlush_;
  bool binaryMode_ = false;
  // Text accepted and not yet written: whole pieces, written together in one write(2).
  std::string out_;
  // Where each piece of `out_` ends (a line never goes to two files).
  std::vector<size_t> pieceEnds_;
  // Where the open file lives: its directory (the log directory's descriptor, or one of ours
  // for a subdirectory), that directory's mode, and the file's name in it.
  int dirFd_ = -1;
  bool ownDirFd_ = false;
  mode_t dirMode_ = 0755;
  std::string fileName_;
  // The file name in the log directory when the writer's name has no directory part.
  std::string flatFile_;
  // Size of the file as last read, plus what this writer wrote since; when it was read
  // (monotonic nanoseconds; 0: never, so the first write reads it).
  unsigned long long size_ = 0;
  long long sizeReadAt_ = 0;
  // Coarse clock second of the last comparison of the path with the open file.
  long pathCheckedAt_ = 0;
  // The list of every writer (FlushAll), guarded by its own lock.
  KFileLogWriter* nextWriter_ = nullptr;
  KFileLogWriter* previousWriter_ = nullptr;
  // No rotation by size is tried before this (coarse monotonic ns): after one could not be made,
  // or while the ration is used up.
  long long rotateRetryAt_ = 0;
  // Since when the file's lock has been found busy by rotations deferred for it (0: it was not).
  long long lockBusySince_ = 0;
  // Ration of rotations by size (see RotateOrFollow): the time at which the ration is full again,
  // and what this writer wrote since its last rotation.
  long long rotationClock_ = 0;
  unsigned long long writtenSinceRotation_ = 0;
};

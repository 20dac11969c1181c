#pragma once

#include <pthread.h>

#include <cstdarg>
#include <string>

// Small platform helpers private to the logging system: local time, process facts, directories
// and a recursive mutex whose pthread handle the writers hand to the logger front end. Nothing
// here throws or logs (the logging system cannot log its own platform failures).
namespace klogdetail {

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};

// The local time of day, to the millisecond.
LocalTime Now();
// Seconds since 1970 (UTC).
unsigned int UnixTime();
int ProcessId();
int KernelThreadId();
// The executable's name (or its full path); false when /proc cannot tell.
bool ExeName(char* buffer, int size, bool fullPath);
// Creates the directory and its missing parents; false on success (also when it exists).
bool MakeDirectory(const std::string& path);
// A file name that does not exist yet: path, then path with ".1" ... ".99" before its last dot.
std::string UniquifyFilename(const std::string& path);
// "/etc/tolma/", the toolkit's work directory.
const char* WorkDirectory();

// printf into a std::string without the toolkit string's 20 KB ceiling: a log line must never
// throw into its caller because the text is long.
void AppendVFormat(std::string& out, const char* format, va_list args);
void AppendFormat(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Recursive mutex owned by one object; Native() is what KLogWriter::GetMutex hands out.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void Lock() { pthread_mutex_lock(&mutex_); }
  void Unlock() { pthread_mutex_unlock(&mutex_); }
  pthread_mutex_t* Native() { return &mutex_; }

 private:
  pthread_mutex_t mutex_;
};

// Scoped lock over a raw pthread mutex; a null mutex means no locking.
class Guard {
 public:
  explicit Guard(pthread_mutex_t* mutex) : mutex_(mutex) {
    if (mutex_) pthread_mutex_lock(mutex_);
  }
  explicit Guard(Mutex& mutex) : Guard(mutex.Native()) {}
  ~Guard() {
    if (mutex_) pthread_mutex_unlock(mutex_);
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  pthread_mutex_t* mutex_;
};

}  // namespace klogdetail

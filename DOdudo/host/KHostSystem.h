#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

#include "DOdudo/host/KExport.h"

namespace dodudo {
namespace time {
struct KSystemTime;
}
}  // namespace dodudo

// Routine run by a new thread: the POSIX thread entry signature.
using KThreadRoutine = void* (*)(void*);

// The toolkit's operating-system layer: static operations over opaque handles, so that the rest of
// the library never calls the platform directly.
//
// Ownership: every handle (mutex, event, semaphore, external process, directory search, library)
// belongs to its creator, who releases it with the matching Delete/Close operation.
// Failure: nothing here throws (apart from memory exhaustion); results say what happened, and the
// conventions differ per group as documented below. In particular the file operations RemoveFile,
// RemoveDirectory and MakeDirectory return false on success and true on failure.
// Threading: every operation may be called from any thread. Events and semaphores guard their state
// with their own recursive mutex; the only shared statics are the work directory and the
// thread-identity key, both set up once.
class DODUDO_API KHostSystem {
 public:
  KHostSystem() = default;
  ~KHostSystem() = default;

  // --- Recursive mutexes. The same thread may enter several times and must leave as often.
  static void* CreateLocalMutex();
  static void EnterLocalMutex(void* mutex);
  // Returns the platform's result (0 on success).
  static int LeaveLocalMutex(void* mutex);
  static void DeleteLocalMutex(void* mutex);

  // --- Events. A pulse wakes every waiter present and, when nobody waits, stays latched for the
  // next wait; every wait that returns clears the event. The name is ignored (events are private to
  // the process).
  static void* CreateSystemEvent(const char* name);
  // A null handle is ignored.
  static void PulseSystemEvent(void* event);
  // 0 signalled, 2 timed out, 1 other error. The timeout runs on the monotonic clock, so a step
  // of the wall clock neither stretches nor shortens it. 0xFFFFFFFF waits without limit. A null
  // handle gives 1.
  static int WaitEvent(void* event, unsigned int timeoutMs);
  // 1 for a null handle, else 0 after freeing the event.
  static int CloseSystemEvent(void* event);

  // --- Counting semaphores with a maximum. Null when the platform refuses; the name is ignored.
  static void* CreateCountSemaphore(int initial, int maximum, const char* name);
  // 0 when a unit was taken, 1 on timeout, error or null handle. 0xFFFFFFFF waits without limit.
  static int WaitOnSemaphore(void* semaphore, unsigned int timeoutMs);
  // count = min(count + n, maximum), then wakes every waiter; true when the wake-up succeeded.
  static bool ReleaseSemaphore(void* semaphore, int n);
  static void DeleteSemaphore(void* semaphore);

  // --- Time. Ticks are unsigned 32-bit milliseconds of the monotonic clock, wrapping at 2^32.
  // Sleeps ms milliseconds, resuming after signals.
  static void Delay(unsigned int ms);
  static void PrecisionDelay(unsigned int ms);
  // 0 if the clock cannot be read.
  static unsigned int GetTick();
  static unsigned int GetTickMaxCount();
  // end - start; across a wrap the result is one less than the modulo-2^32 difference
  // (diffTime(0xFFFFFFF0, 5) == 20), which callers measuring intervals have always relied on.
  static unsigned int diffTime(unsigned int start, unsigned int end);
  static unsigned int diffTime(unsigned int start);
  static unsigned int diffTimeMilisec(timespec& a, timespec& b);
  // Adds ms to *t, keeping the nanoseconds below one second.
  static void AddMilisecToTime(timespec* t, unsigned int ms);
  // Local time of day with milliseconds; the day of week is left untouched. Null does nothing.
  static void GetTime(dodudo::time::KSystemTime* time);
  // Wall-clock seconds since 1970; bias receives the local offset in seconds west of UTC.
  static unsigned int GetSecondsSinceEpoch(int& bias);

  // --- Threads. A thread identity cell is a heap cell holding a POSIX thread id; the priority
  // operations take one (null meaning the calling thread).
  // Starts a detached thread running routine(argument), asking for FIFO scheduling at priority 1.
  // When the platform refuses that (an unprivileged process), the thread gets the default
  // scheduling instead. Returns the thread id, 0 when no thread could be created.
  static unsigned long StartThread(KThreadRoutine routine, void* argument, int unused);
  static unsigned long StartThread(void* routine, void* argument, int unused);
  static unsigned long ThreadId();
  // The calling thread's identity cell, made on first use and freed when the thread ends.
  static void* ThreadSelf();
  // Priority level 1..5 (this reading has no level 0; a policy whose maximum is 0 gives 5).
  static int ThreadGetPriority(void* cell);
  static int ThreadGetPriority();
  // Maps level 0..5 onto the thread's policy (max/5, max/4, max/3, max/2, max/1.5, max); any other
  // level re-applies the current priority. The outcome goes to the running log only.
  static void ThreadSetPriority(void* cell, int level, int unused);
  static void ThreadSetPriority(int level);
  // Cancels the thread whose id is carried in the pointer value; true if that succeeded or the
  // thread no longer exists.
  static bool TerminateThread(void* threadId);
  static bool TerminateThreadAsync(bool async);
  static bool TerminateThreadEnable(bool enable);
  static void CloseThreadHandle(void* handle);

  // --- Processes and run-once.
  static int GetCurrentProcId();
  // Executable path from /proc/<pid>/exe; with fullPath false only the part after the last '/'.
  // true on success; false when the link cannot be read, size < 1 or the path ends in '/'.
  static bool GetExeName(char* buffer, int size, bool fullPath);
  // Handle holding the descriptor of /proc/<pid>/mem, -1 when the open failed.
  static void* OpenExternalProcess(unsigned long long pid);
  static int CloseExternalProcess(void* handle);
  // Position the descriptor at address only; true when the new position equals address.
  static bool ReadExternalMemory(void* handle, void* address, void* buffer, int size,
                                 unsigned long* count);
  static bool WriteExternalMemory(void* handle, void* address, void* buffer, int size,
                                  unsigned long* count);
  static bool CreateRunOnce();
  static void ReleaseRunOnce();
  // True when the server daemon's System V semaphore exists and its semaphore 0 is non-zero.
  static bool TestRunOnce();

  // --- Files and directories.
  // Opens for appending; null on failure.
  static FILE* OpenSharedFile(const char* path);
  static bool RemoveFile(const char* path);
  // Platform result: 0 on success.
  static int FileTruncate(const char* path, int length);
  // Creates the directory with its missing parents (separators '/' and '\'). false on success or
  // when the directory exists already; true when a step failed or the path exists as a non-directory.
  static bool MakeDirectory(const char* path);
  // Removes the directory and everything below it; symbolic links inside are removed, never
  // followed. A path that is itself a symbolic link fails (true) and is left alone with its target.
  static bool RemoveDirectory(const char* path);
  // Directory search. name must hold 256 bytes. FindFirst returns null when the directory cannot
  // be opened; *result receives the outcome of the first FindNext. FindNext returns 0 when an entry
  // matching the extension (every entry for a null extension) was copied into name, else 6.
  static void* FindFirst(const char* directory, const char* extension, char* name, int* result);
  static int FindNext(void* handle, const char* extension, char* name);
  static void FindClose(void* handle);
  // "*" matches everything; otherwise "." and ".." and names without '.' never match, and the text
  // after the last '.' is compared ignoring case. Null arguments do not match.
  static bool ExtensionCompare(const char* name, const char* extension);
  // "/etc/tolma/".
  static const char* GetWorkDirectory();
  // fgets, with a CR LF ending turned into a single LF. buffer always starts as "". Null at end.
  static char* ReadLine(char* buffer, int size, FILE* file);

  // --- Dynamic libraries.
  // Loads with every symbol resolved now; on failure null, and *error (when given) gets the
  // loader's text.
  static void* LoadDllLibrary(const char* path, char** error);
  static void* GetDllProcAddress(void* library, const char* name);

  // --- Strings and numbers.
  static int AtoI(const char* text);
  // Decimal text of value; buffer must hold 12 bytes. The radix is ignored.
  static char* ItoA(int value, char* buffer, int radix);
  static int StriCmp(const char* a, const char* b);
  // Trims white space in place; returns its argument (null gives null).
  static char* StrTrim(char* text);
  static unsigned int Hash(const char* data, unsigned int length, unsigned int seed);
};

// Text to number conversions. An empty text, or one where nothing could be converted, gives the
// fallback; trailing characters are ignored. The integer forms use base 0 ("0x1F" is 31, "017" is
// 15); long and other types read decimal from a string stream.
template <typename T>
T from_string(const std::string& text, const T& fallback) {
  std::istringstream in(text);
  T value;
  if (in >> value) return value;
  return fallback;
}

namespace dodudo {
namespace host_detail {
template <typename T, typename F>
T StrtoConvert(const std::string& text, const T& fallback, F convert) {
  if (text.empty()) return fallback;
  char* end = nullptr;
  auto value = convert(text.c_str(), &end, 0);
  if (end == text.c_str()) return fallback;
  return static_cast<T>(value);
}
}  // namespace host_detail
}  // namespace dodudo

template <>
inline int from_string<int>(const std::string& text, const int& fallback) {
  return dodudo::host_detail::StrtoConvert(text, fallback, std::strtol);
}
template <>
inline unsigned int from_string<unsigned int>(const std::string& text,
                                              const unsigned int& fallback) {
  return dodudo::host_detail::StrtoConvert(text, fallback, std::strtoul);
}
template <>
inline long long from_string<long long>(const std::string& text, const long long& fallback) {
  return dodudo::host_detail::StrtoConvert(text, fallback, std::strtoll);
}
template <>
inline unsigned long long from_string<unsigned long long>(const std::string& text,
                                                          const unsigned long long& fallback) {
  return dodudo::host_detail::StrtoConvert(text, fallback, std::strtoull);
}

// The text itself; the fallback is not used.
inline std::string from_string(const std::string& text, const std::string& /*fallback*/) {
  return text;
}
inline std::string from_string(const std::string& text, const char* /*fallback*/) { return text; }
inline std::string from_string(const char* text, const char* /*fallback*/) {
  return text ? std::string(text) : std::string();
}

inline std::string to_string(const std::string& text) { return text; }
inline std::string to_string(const char* text) { return text ? std::string(text) : std::string(); }

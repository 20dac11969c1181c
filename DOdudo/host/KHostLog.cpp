#include "DOdudo/host/KHostLog.h"

#include <atomic>
#include <cstdio>

#include "DOdudo/KRunningLog.h"

namespace {

void DefaultSink(KLogLevel level, const char* text) { KRunningLog::Log(level, "%s", text); }

std::atomic<KRunningLogSink> g_sink{&DefaultSink};

}  // namespace

void KRunningLogWriteV(KLogLevel level, const char* format, va_list args) {
  if (format == nullptr) return;
  char line[2048];
  vsnprintf(line, sizeof line, format, args);
  g_sink.load(std::memory_order_acquire)(level, line);
}

void KRunningLogWrite(KLogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  KRunningLogWriteV(level, format, args);
  va_end(args);
}

KRunningLogSink SetRunningLogSink(KRunningLogSink sink) {
  return g_sink.exchange(sink ? sink : &DefaultSink, std::memory_order_acq_rel);
}

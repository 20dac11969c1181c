#include "DOdudo/KLogBuilder.h"

#include <cstdio>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogWriter.h"
#include "DOdudo/KLogger.h"

KLogBuilder::~KLogBuilder() {
  try {
    Commit();
  } catch (...) {
    // Out of memory while committing: the line is lost, the caller goes on.
  }
}

void KLogBuilder::Constructor(KLogWriter* newWriter, KLogger* newLogger, bool newBinaryMode) {
  writer = newWriter;
  logger = newLogger;
  binaryMode = newBinaryMode;
  level = klogTrace;
  active = true;
  text.clear();
}

void KLogBuilder::Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vLog(format, args);
  va_end(args);
}

void KLogBuilder::vLog(const char* format, va_list args) {
  if (!active || format == nullptr) return;
  klogdetail::AppendVFormat(text, format, args);
}

void KLogBuilder::NewLine(bool commit) {
  if (commit) {
    Commit();
  } else if (active) {
    text += "\n";
  }
}

dodudo::kstring KLogBuilder::GetHeader() const {
  dodudo::time::KSystemTime t = klogdetail::LocalNow();
  if (writer != nullptr) writer->CheckDay(static_cast<unsigned int>(t.day));
  unsigned int index =
      static_cast<unsigned int>(level) <= klogTrace ? static_cast<unsigned int>(level) : 0u;
  char header[64];
  snprintf(header, sizeof header, "%c|%02d/%02d/%04d %02d:%02d:%02d.%03d", KLOG_LEVEL_CHARS[index],
           t.day, t.month, t.year, t.hour, t.minute, t.second, t.milliseconds);
  dodudo::kstring result = header;
  if (logger != nullptr && logger->ShowName()) {
    klogdetail::AppendFormat(result, "|%-8s", logger->GetName().c_str());
  }
  return result;
}

void KLogBuilder::Commit() {
  if (!active || text.empty() || writer == nullptr) return;
  dodudo::kstring line = GetHeader();
  line += text;
  text.clear();
  bool lazy = logger != nullptr && level == klogTrace && logger->LazyTraceFlush();
  {
    klogdetail::Guard guard(writer->GetMutex());
    writer->FmtWrite("%s\n", line.c_str());
    writer->Flush(lazy);
  }
  if (level == klogError || level == klogWarning || level == klogInfo) {
    KLogWriter* messages = KLogManager::ErrorWriter();
    if (messages == nullptr) return;
    dodudo::kstring name = writer->Name();
    klogdetail::Guard guard(messages->GetMutex());
    messages->FmtWrite("%s (%s)\n", line.c_str(), name.c_str());
    messages->Flush(false);
  }
}

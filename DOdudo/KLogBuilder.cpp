#include "DOdudo/KLogBuilder.h"

#include <cstdio>
#include <cstring>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogWriter.h"
#include "DOdudo/KLogger.h"

namespace {

// Writes the lowest `width` decimal digits of value, zero-padded (as "%0<width>d" for the field
// ranges of a date and time).
void PutDigits(char* out, unsigned int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace

// The text of a line being built lives in a buffer of the thread that keeps its memory from line
// to line (lent to the builder's `text`, given back by its destructor), so a line costs no
// allocation. A builder made while another is alive on the thread (the logging system logging
// about itself) uses memory of its own.
namespace {
thread_local std::string t_body;
thread_local bool t_bodyLent = false;
}  // namespace

KLogBuilder::~KLogBuilder() {
  try {
    Commit();
  } catch (...) {
    // Out of memory while committing: the line is lost, the caller goes on.
  }
  if (borrowed_) {
    text.clear();
    if (text.capacity() <= 65536) static_cast<std::string&>(text).swap(t_body);
    t_bodyLent = false;
  }
}

void KLogBuilder::Constructor(KLogWriter* newWriter, KLogger* newLogger, bool newBinaryMode) {
  writer = newWriter;
  logger = newLogger;
  binaryMode = newBinaryMode;
  level = klogTrace;
  active = true;
  if (!borrowed_ && !t_bodyLent) {
    static_cast<std::string&>(text).swap(t_body);
    t_bodyLent = true;
    borrowed_ = true;
  }
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
  if (strchr(format, '%') == nullptr) {
    text += format;  // a fixed prefix such as "| "
    return;
  }
  klogdetail::AppendVFormat(text, format, args);
}

void KLogBuilder::NewLine(bool commit) {
  if (commit) {
    Commit();
  } else if (active) {
    text += "\n";
  }
}

// "L|dd/mm/yyyy hh:mm:ss.mmm" and, when the logger shows it, "|" and its name in 8 columns,
// digit by digit: this runs for every line, and printf would cost as much as formatting the
// caller's text. Appended to `out`.
void KLogBuilder::AppendHeader(std::string& out) const {
  dodudo::time::KSystemTime t = klogdetail::LocalNow();
  if (writer != nullptr) writer->CheckDay(static_cast<unsigned int>(t.day));
  unsigned int index =
      static_cast<unsigned int>(level) <= klogTrace ? static_cast<unsigned int>(level) : 0u;
  char header[25];
  header[0] = KLOG_LEVEL_CHARS[index];
  header[1] = '|';
  PutDigits(header + 2, t.day, 2);
  header[4] = '/';
  PutDigits(header + 5, t.month, 2);
  header[7] = '/';
  PutDigits(header + 8, t.year, 4);
  header[12] = ' ';
  PutDigits(header + 13, t.hour, 2);
  header[15] = ':';
  PutDigits(header + 16, t.minute, 2);
  header[18] = ':';
  PutDigits(header + 19, t.second, 2);
  header[21] = '.';
  PutDigits(header + 22, t.milliseconds, 3);
  out.append(header, sizeof header);
  if (logger != nullptr && logger->ShowName()) {
    klogdetail::AppendFormat(out, "|%-8s", logger->GetName().c_str());
  }
}

dodudo::kstring KLogBuilder::GetHeader() const {
  std::string header;
  AppendHeader(header);
  return header;
}

namespace {

// The line being committed is assembled in a buffer of the thread that keeps its memory from
// line to line. A line committed while another is (the logging system logging about itself
// from inside a writer) takes a buffer of its own.
thread_local std::string t_line;
thread_local bool t_lineBusy = false;

}  // namespace

void KLogBuilder::Commit() {
  if (!active || text.empty() || writer == nullptr) return;
  std::string own;
  bool shared = !t_lineBusy;
  std::string& line = shared ? t_line : own;
  t_lineBusy = true;
  line.clear();
  AppendHeader(line);
  line += text;
  line += '\n';
  text.clear();
  bool lazy = logger != nullptr && level == klogTrace && logger->LazyTraceFlush();
  {
    klogdetail::Guard guard(writer->GetMutex());
    writer->WriteText(line.data(), line.size());
    writer->Flush(lazy);
  }
  if (level == klogError || level == klogWarning || level == klogInfo) {
    if (KLogWriter* messages = KLogManager::ErrorWriter()) {
      // The same line with the writer's name before its end: "... (snl)\n".
      line.pop_back();
      line += " (";
      line += writer->Name();
      line += ")\n";
      klogdetail::Guard guard(messages->GetMutex());
      messages->WriteText(line.data(), line.size());
      messages->Flush(false);
    }
  }
  if (shared) {
    if (line.capacity() > 65536) std::string().swap(line);
    t_lineBusy = false;
  }
}

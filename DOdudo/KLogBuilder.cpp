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

namespace {

// The text of a line being committed: on the stack unless it is long. (No buffer kept per
// thread: a thread-local object with a destructor would keep the library from being unloaded.)
class LineText {
 public:
  void Append(const char* data, size_t length) {
    if (!big_ && used_ + length <= sizeof small_) {
      memcpy(small_ + used_, data, length);
      used_ += length;
      return;
    }
    if (!big_) {
      large_.assign(small_, used_);
      big_ = true;
    }
    large_.append(data, length);
  }
  void Append(const std::string& text) { Append(text.data(), text.size()); }
  void PopBack() {
    if (big_) {
      large_.pop_back();
    } else {
      --used_;
    }
  }
  const char* Data() const { return big_ ? large_.data() : small_; }
  size_t Size() const { return big_ ? large_.size() : used_; }

 private:
  char small_[1024];
  size_t used_ = 0;
  bool big_ = false;
  std::string large_;
};

void Append(std::string& out, const char* data, size_t length) { out.append(data, length); }
void Append(LineText& out, const char* data, size_t length) { out.Append(data, length); }

// "L|dd/mm/yyyy hh:mm:ss.mmm" and, when the logger shows it, "|" and its name in 8 columns,
// digit by digit: this runs for every line, and printf would cost as much as formatting the
// caller's text.
template <typename Out>
void AppendHeader(const KLogBuilder& line, Out& out) {
  dodudo::time::KSystemTime t = klogdetail::LocalNow();
  if (line.writer != nullptr) line.writer->CheckDay(static_cast<unsigned int>(t.day));
  unsigned int index = static_cast<unsigned int>(line.level) <= klogTrace
                           ? static_cast<unsigned int>(line.level)
                           : 0u;
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
  Append(out, header, sizeof header);
  if (line.logger != nullptr && line.logger->ShowName()) {
    std::string name;
    klogdetail::AppendFormat(name, "|%-8s", line.logger->GetName().c_str());
    Append(out, name.data(), name.size());
  }
}

}  // namespace

dodudo::kstring KLogBuilder::GetHeader() const {
  std::string header;
  AppendHeader(*this, header);
  return header;
}

void KLogBuilder::Commit() {
  if (!active || text.empty() || writer == nullptr) return;
  LineText line;
  AppendHeader(*this, line);
  line.Append(text);
  line.Append("\n", 1);
  text.clear();
  bool lazy = logger != nullptr && level == klogTrace && logger->LazyTraceFlush();
  {
    klogdetail::Guard guard(writer->GetMutex());
    writer->WriteText(line.Data(), line.Size());
    writer->Flush(lazy);
  }
  if (level == klogError || level == klogWarning || level == klogInfo) {
    if (KLogWriter* messages = KLogManager::ErrorWriter()) {
      // The same line with the writer's name before its end: "... (snl)\n".
      line.PopBack();
      line.Append(" (", 2);
      line.Append(writer->Name());
      line.Append(")\n", 2);
      klogdetail::Guard guard(messages->GetMutex());
      messages->WriteText(line.Data(), line.Size());
      messages->Flush(false);
    }
  }
}

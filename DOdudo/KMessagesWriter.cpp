#include "DOdudo/KMessagesWriter.h"

KMessagesWriter::KMessagesWriter() : KFileLogWriter("messages") {}

KMessagesWriter::~KMessagesWriter() = default;

void KMessagesWriter::CheckDay(unsigned int) {}

void KMessagesWriter::PrintLogOpened() {}

void KMessagesWriter::Write(const char* format, va_list args) {
  klogdetail::Guard guard(GetMutex());
  if (format != nullptr) klogdetail::AppendVFormat(buffer_, format, args);
}

void KMessagesWriter::Flush(bool lazy) {
  klogdetail::Guard guard(GetMutex());
  std::string text;
  text.swap(buffer_);
  KFileLogWriter::Write(text.c_str());
  KFileLogWriter::Flush(lazy);
}

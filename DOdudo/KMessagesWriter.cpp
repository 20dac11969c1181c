#include "DOdudo/KMessagesWriter.h"

KMessagesWriter::KMessagesWriter() : KFileLogWriter("messages") {}

KMessagesWriter::~KMessagesWriter() = default;

void KMessagesWriter::CheckDay(unsigned int) {}

void KMessagesWriter::PrintLogOpened() {}

void KMessagesWriter::Write(const char* format, va_list args) {
  klogdetail::Guard guard(GetMutex());
  if (format != nullptr) klogdetail::AppendVFormat(buffer_, format, args);
}

void KMessagesWriter::WriteText(const char* text, size_t length) {
  klogdetail::Guard guard(GetMutex());
  if (text != nullptr) buffer_.append(text, length);
}

void KMessagesWriter::Flush(bool lazy) {
  klogdetail::Guard guard(GetMutex());
  if (!buffer_.empty()) KFileLogWriter::WriteText(buffer_.data(), buffer_.size());
  buffer_.clear();
  KFileLogWriter::Flush(lazy);
}

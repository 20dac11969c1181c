#include "DOdudo/KLogWriter.h"

KLogWriter::~KLogWriter() = default;

pthread_mutex_t* KLogWriter::GetMutex() { return nullptr; }

void KLogWriter::SetBinary(bool) {}

void KLogWriter::CheckDay(unsigned int) {}

void KLogWriter::FmtWrite(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(format, args);
  va_end(args);
}

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

void KLogWriter::WriteText(const char* text, size_t length) {
  // Longer text than an int can count goes in pieces; no line comes near that.
  while (length > 0) {
    int piece = length > 0x40000000u ? 0x40000000 : static_cast<int>(length);
    FmtWrite("%.*s", piece, text);
    text += piece;
    length -= static_cast<size_t>(piece);
  }
}

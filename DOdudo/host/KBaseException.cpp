#include "DOdudo/host/KBaseException.h"

#include <cstdarg>
#include <cstdio>

KBaseException::KBaseException(const char* format, ...) {
  if (format == nullptr) return;
  char buffer[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  message_ = buffer;
}

KBaseException::~KBaseException() = default;

const char* KBaseException::what() const noexcept { return message_.c_str(); }

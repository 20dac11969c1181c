#include "DOdudo/LB9/Basics/KSocketException.h"

#include <errno.h>
#include <string.h>

#include "DOdudo/host/KVaArgs.h"

namespace dodudo {

namespace {
void FormatInto(kstring& target, const char* format, va_list args) {
  if (format == nullptr) return;
  target.vFormat(format, args);
}
}  // namespace

KSocketException::KSocketException() : KException(kstring()) {}

KSocketException::KSocketException(const char* format, ...) : KException(kstring()) {
  DODUDO_WITH_VA_ARGS(format, FormatInto(socketText_, format, args));
}

KSocketException::KSocketException(const kstring& text)
    : KException(kstring()), socketText_(text) {}

KSocketException::~KSocketException() = default;

const char* KSocketException::what() const noexcept { return socketText_.c_str(); }

kstring KSocketException::LastError() {
  const int error = errno;
  char buffer[256];
  // GNU strerror_r: returns the text, which may or may not live in buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  kstring result;
  result.sprintf("%s (errno=%d)", text, error);
  errno = error;
  return result;
}

KSocketClosedException::KSocketClosedException(const char* format, ...) {
  DODUDO_WITH_VA_ARGS(format, FormatInto(socketText_, format, args));
}

KSocketClosedException::~KSocketClosedException() = default;

}  // namespace dodudo

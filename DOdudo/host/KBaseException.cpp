#include "DOdudo/host/KBaseException.h"

// Every variadic constructor ends its va_list even when formatting throws.
#define KEXCEPTION_FORMAT(target, format) \
  do {                                    \
    va_list args;                         \
    va_start(args, format);               \
    try {                                 \
      (target).vFormat((format), args);   \
    } catch (...) {                       \
      va_end(args);                       \
      throw;                              \
    }                                     \
    va_end(args);                         \
  } while (0)

KBaseException::KBaseException() = default;

KBaseException::KBaseException(const char* format, ...) {
  if (format != nullptr) KEXCEPTION_FORMAT(message_, format);
}

KBaseException::KBaseException(const dodudo::kstring& message) : message_(message) {}

KBaseException::~KBaseException() = default;

int KBaseException::Construct(const char* format, va_list args) {
  if (format != nullptr) message_.vFormat(format, args);
  return 0;
}

const char* KBaseException::what() const noexcept { return message_.c_str(); }

namespace dodudo {

KException::KException(kstring text) : text_(std::move(text)), file_("Unknown"), line_(0) {}

KException::KException(const char* format, ...) : file_("Unknown"), line_(0) {
  KEXCEPTION_FORMAT(text_, format);
}

KException::KException(const char* file, int line, const char* format, ...)
    : file_(file != nullptr ? file : ""), line_(line) {
  if (format != nullptr) KEXCEPTION_FORMAT(text_, format);
}

KException::~KException() = default;

const char* KException::what() const noexcept { return text_.c_str(); }

}  // namespace dodudo

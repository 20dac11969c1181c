#include "DOdudo/host/KBaseException.h"

#include "DOdudo/host/KVaArgs.h"

KBaseException::KBaseException() = default;

KBaseException::KBaseException(const char* format, ...) {
  if (format != nullptr) DODUDO_WITH_VA_ARGS(format, message_.vFormat(format, args));
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
  DODUDO_WITH_VA_ARGS(format, text_.vFormat(format, args));
}

KException::KException(const char* file, int line, const char* format, ...)
    : file_(file != nullptr ? file : ""), line_(line) {
  if (format != nullptr) DODUDO_WITH_VA_ARGS(format, text_.vFormat(format, args));
}

KException::~KException() = default;

const char* KException::what() const noexcept { return text_.c_str(); }

}  // namespace dodudo

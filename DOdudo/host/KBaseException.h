#pragma once

#include <cstdarg>
#include <exception>

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"

// Root of the toolkit's own exceptions: one printf-formatted message, returned by what().
// Formatting follows dodudo::kstring, so a message longer than 20479 characters turns the
// construction into std::runtime_error "cannot assign string bigger than 20KB".
class DODUDO_API KBaseException : public std::exception {
 public:
  // A null format leaves the message empty.
  explicit KBaseException(const char* format, ...) __attribute__((format(printf, 2, 3)));
  explicit KBaseException(const dodudo::kstring& message);
  KBaseException(const KBaseException&) = default;
  KBaseException& operator=(const KBaseException&) = default;
  ~KBaseException() override;
  const char* what() const noexcept override;

 protected:
  // For derived classes with their own variadic constructors, which then call Construct.
  KBaseException();
  // Formats into the message when format is not null. Returns 0.
  int Construct(const char* format, va_list args);

  dodudo::kstring message_;
};

namespace dodudo {

// An exception that also records where it was raised: file ("Unknown" when not given) and line
// (0 when not given). what() returns the formatted text; the base's message stays empty.
// Note: KException("fmt", x, 0) with a literal 0 selects the (file, line, format) form.
class DODUDO_API KException : public KBaseException {
 public:
  explicit KException(kstring text);
  explicit KException(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // A null file is stored as an empty string; a null format leaves the text empty (derived classes
  // that fill their own text pass nullptr).
  KException(const char* file, int line, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  ~KException() override;

  const char* what() const noexcept override;
  kstring GetString() const { return what(); }
  const kstring& GetFile() const { return file_; }
  int GetLine() const { return line_; }

 protected:
  kstring text_;
  kstring file_;
  int line_;
};

}  // namespace dodudo

// A family of exception types told apart only by their tag type, so that each subsystem's
// failures can be caught on their own: KTemplateException<config::KReloadable> and so on.
template <typename T>
class DODUDO_API KTemplateException : public KBaseException {
 public:
  explicit KTemplateException(const char* format, ...) __attribute__((format(printf, 2, 3)));

 protected:
  KTemplateException() = default;
};

template <typename T>
KTemplateException<T>::KTemplateException(const char* format, ...) {
  va_list args;
  va_start(args, format);
  try {
    Construct(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
}

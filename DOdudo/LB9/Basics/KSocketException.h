#pragma once

#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"

namespace dodudo {

// Every failure of the socket layer and of the channels built on it. The message is formatted
// printf-style and returned by what(); socket texts name the descriptor as eight upper-case hex
// digits and end with "(module:line)" of the raising code.
class DODUDO_API KSocketException : public KException {
 public:
  explicit KSocketException(const char* format, ...) __attribute__((format(printf, 2, 3)));
  explicit KSocketException(const kstring& text);
  ~KSocketException() override;

  const char* what() const noexcept override;

  // "<system text for errno> (errno=<n>)" for the calling thread's current errno.
  static kstring LastError();

 protected:
  KSocketException();

  kstring socketText_;
};

// The peer closed the stream in order (a receive returned 0).
class DODUDO_API KSocketClosedException : public KSocketException {
 public:
  explicit KSocketClosedException(const char* format, ...) __attribute__((format(printf, 2, 3)));
  ~KSocketClosedException() override;
};

}  // namespace dodudo

#pragma once

#include <exception>
#include <string>

#include "DOdudo/host/KExport.h"

// Root of the toolkit's own exceptions: one printf-formatted message, returned by what().
class DODUDO_API KBaseException : public std::exception {
 public:
  explicit KBaseException(const char* format, ...) __attribute__((format(printf, 2, 3)));
  ~KBaseException() override;
  const char* what() const noexcept override;

 protected:
  std::string message_;
};

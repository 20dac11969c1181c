#pragma once

#include <cstdarg>
#include <string>

#include "DOdudo/LB9/Basics/KSerializable.h"
#include "DOdudo/host/KExport.h"

namespace dodudo {

// Longest string a kstring accepts from the wire, terminating NUL included.
constexpr unsigned int KMAX_STRING_SIZE = 2048;

// A standard string that is also serialisable (a 32-bit length counting the terminating NUL,
// then the characters and the NUL). Printf-style formatting is bounded: a result longer than
// 20479 characters, or a C library formatting error, throws std::runtime_error
// "cannot assign string bigger than 20KB" and leaves the text as it was.
// Not thread-safe, like std::string.
class DODUDO_API kstring : public std::string, public KSerializable {
 public:
  kstring() = default;
  kstring(const char* text) : std::string(text) {}
  kstring(const char* text, size_type count) : std::string(text, count) {}
  kstring(size_type count, char c) : std::string(count, c) {}
  kstring(const std::string& text) : std::string(text) {}
  kstring(std::string&& text) : std::string(std::move(text)) {}
  kstring(const kstring&) = default;
  kstring(kstring&&) = default;
  kstring& operator=(const kstring&) = default;
  kstring& operator=(kstring&&) = default;
  kstring& operator=(const std::string& text) {
    std::string::operator=(text);
    return *this;
  }
  kstring& operator=(std::string&& text) {
    std::string::operator=(std::move(text));
    return *this;
  }
  kstring& operator=(const char* text) {
    std::string::operator=(text);
    return *this;
  }
  ~kstring() override;

  // Replaces the text with the formatted text; a null format makes it empty.
  kstring& vFormat(const char* format, va_list args);
  kstring& sprintf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Appends the formatted text (same bound, applied to the appended part).
  kstring& vAppendFormat(const char* format, va_list args);
  kstring& AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Reading refuses a length above KMAX_STRING_SIZE (std::runtime_error) and a length of 0
  // (std::length_error); on any failure the text keeps its previous value.
  void Serialize(KSerializer& serializer) override;
};

// A kstring built from a format: fstring("config[%s]", name).
class DODUDO_API fstring : public kstring {
 public:
  explicit fstring(const char* format, ...) __attribute__((format(printf, 2, 3)));
  ~fstring() override;
};

}  // namespace dodudo

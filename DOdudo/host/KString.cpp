#include "DOdudo/host/KString.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "DOdudo/host/KVaArgs.h"

namespace dodudo {

namespace {

constexpr int kSmallBuffer = 2048;
constexpr int kLargeBuffer = 20480;

[[noreturn]] void ThrowTooBig() {
  throw std::runtime_error("cannot assign string bigger than 20KB");
}

}  // namespace

kstring::~kstring() = default;

kstring& kstring::vFormat(const char* format, va_list args) {
  if (format == nullptr) {
    clear();
    return *this;
  }
  // Most texts fit the small stack buffer; only longer ones pay for a second pass.
  char small[kSmallBuffer];
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(small, sizeof small, format, args);
  if (length >= 0 && length < kSmallBuffer) {
    va_end(again);
    assign(small, static_cast<size_type>(length));
    return *this;
  }
  if (length < 0 || length >= kLargeBuffer) {
    va_end(again);
    ThrowTooBig();
  }
  // The first pass measured the text: the second buffer needs exactly that much.
  std::unique_ptr<char[]> large(new char[length + 1]);
  int second = vsnprintf(large.get(), static_cast<size_t>(length) + 1, format, again);
  va_end(again);
  if (second != length) ThrowTooBig();
  assign(large.get(), static_cast<size_type>(length));
  return *this;
}

kstring& kstring::sprintf(const char* format, ...) {
  DODUDO_WITH_VA_ARGS(format, vFormat(format, args));
  return *this;
}

kstring& kstring::vAppendFormat(const char* format, va_list args) {
  kstring part;
  part.vFormat(format, args);
  append(part);
  return *this;
}

kstring& kstring::AppendFormat(const char* format, ...) {
  DODUDO_WITH_VA_ARGS(format, vAppendFormat(format, args));
  return *this;
}

void kstring::Serialize(KSerializer& serializer) {
  if (!serializer.In()) {
    uint32_t length = static_cast<uint32_t>(size() + 1);
    serializer& length;
    serializer.Write(const_cast<char*>(c_str()), length);
    return;
  }
  uint32_t length = 0;
  serializer& length;
  if (length > KMAX_STRING_SIZE)
    throw std::runtime_error("cannot serialize string bigger than KMAX_STRING_SIZE(2048)");
  if (length == 0) throw std::length_error("kstring: length prefix 0 on the wire");
  // Read into a scratch block first: the text keeps its value if the read fails, and the wire's
  // last byte (normally the NUL) never lands in the string's terminator slot.
  char block[KMAX_STRING_SIZE];
  serializer.Read(block, length);
  assign(block, length - 1);
}

fstring::fstring(const char* format, ...) { DODUDO_WITH_VA_ARGS(format, vFormat(format, args)); }

fstring::~fstring() = default;

}  // namespace dodudo

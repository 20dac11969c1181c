#include "DOdudo/KLogPlatform.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace klogdetail {

// The fields of KHostSystem::GetTime. The calendar part changes once a second, and localtime_r
// takes a process-wide lock that threads logging at once would queue on; so each thread keeps
// the broken-down time of the last second it saw.
dodudo::time::KSystemTime LocalNow() {
  thread_local time_t cachedSecond = -1;
  thread_local dodudo::time::KSystemTime cached;
  timeval now{};
  gettimeofday(&now, nullptr);
  if (now.tv_sec != cachedSecond) {
    tm local{};
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    cached.year = static_cast<uint16_t>(local.tm_year + 1900);
    cached.month = static_cast<uint8_t>(local.tm_mon + 1);
    cached.day = static_cast<uint8_t>(local.tm_mday);
    cached.hour = static_cast<uint8_t>(local.tm_hour);
    cached.minute = static_cast<uint8_t>(local.tm_min);
    cached.second = static_cast<uint8_t>(local.tm_sec);
    cachedSecond = now.tv_sec;
  }
  dodudo::time::KSystemTime result = cached;
  result.milliseconds = static_cast<uint16_t>(now.tv_usec / 1000);
  return result;
}

int KernelThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

namespace {

// One conversion of the formats log lines use every time: %d %i %u %x %X %c %s and %%, with the
// flags '-' and '0', a width (digits or '*'), a precision for %s, and the sizes l, ll and z.
// Anything else (floating point, %p, %n, other flags, precision of a number, a null string)
// makes the whole format go to vsnprintf instead: false, and the caller starts over.
struct Directive {
  bool left = false;
  bool zero = false;
  int width = 0;
  int precision = -1;
  int size = 0;  // 0 int, 1 long, 2 long long, 3 size_t
};

// Collects the text in a buffer on the stack and hands it to the string in few appends.
class Sink {
 public:
  explicit Sink(std::string& out) : out_(out) {}
  ~Sink() { Drain(); }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  void Put(const char* text, size_t length) {
    if (length > sizeof buffer_ - used_) {
      Drain();
      if (length > sizeof buffer_) {
        out_.append(text, length);
        return;
      }
    }
    memcpy(buffer_ + used_, text, length);
    used_ += length;
  }
  void Fill(char c, size_t count) {
    while (count > 0) {
      if (used_ == sizeof buffer_) Drain();
      size_t piece = count < sizeof buffer_ - used_ ? count : sizeof buffer_ - used_;
      memset(buffer_ + used_, c, piece);
      used_ += piece;
      count -= piece;
    }
  }
  void Drain() {
    out_.append(buffer_, used_);
    used_ = 0;
  }

 private:
  std::string& out_;
  char buffer_[512];
  size_t used_ = 0;
};

void Pad(Sink& out, const char* text, size_t length, const Directive& dir) {
  size_t width = dir.width > 0 ? static_cast<size_t>(dir.width) : 0;
  size_t padding = width > length ? width - length : 0;
  if (!dir.left) out.Fill(' ', padding);
  out.Put(text, length);
  if (dir.left) out.Fill(' ', padding);
}

// Digits of value in base 10 or 16, written backwards from `end`; returns where they start.
// The divisors are constants so that no division instruction runs, and values that fit in 32
// bits (nearly all) take the 32-bit path.
char* Digits(char* end, unsigned long long value, int base, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char* p = end;
  if (base == 16) {
    do {
      *--p = set[value & 15];
      value >>= 4;
    } while (value != 0);
    return p;
  }
  while (value > 0xFFFFFFFFull) {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  auto small = static_cast<unsigned int>(value);
  do {
    *--p = static_cast<char>('0' + small % 10);
    small /= 10;
  } while (small != 0);
  return p;
}

void PutNumber(Sink& out, unsigned long long value, bool negative, int base, bool upper,
               const Directive& dir) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = Digits(end, value, base, upper);
  size_t count = static_cast<size_t>(end - p);
  size_t length = count + (negative ? 1 : 0);
  size_t width = dir.width > 0 ? static_cast<size_t>(dir.width) : 0;
  if (width <= length) {
    if (negative) *--p = '-';
    out.Put(p, length);
    return;
  }
  size_t padding = width - length;
  if (!dir.left && !dir.zero) out.Fill(' ', padding);
  if (negative) out.Put("-", 1);
  if (!dir.left && dir.zero) out.Fill('0', padding);  // zeros go after the sign
  out.Put(p, count);
  if (dir.left) out.Fill(' ', padding);
}

bool FastFormat(Sink& out, const char* format, va_list* args) {
  for (const char* f = format; *f != '\0';) {
    const char* percent = strchrnul(f, '%');
    out.Put(f, static_cast<size_t>(percent - f));
    if (*percent == '\0') return true;
    f = percent + 1;
    if (*f == '%') {
      out.Put("%", 1);
      ++f;
      continue;
    }
    Directive dir;
    for (;; ++f) {
      if (*f == '-') {
        dir.left = true;
      } else if (*f == '0') {
        dir.zero = true;
      } else {
        break;
      }
    }
    if (*f == '*') {
      dir.width = va_arg(*args, int);
      if (dir.width < 0) {
        dir.left = true;
        dir.width = dir.width == -2147483647 - 1 ? 0 : -dir.width;
      }
      ++f;
    } else {
      for (; *f >= '0' && *f <= '9'; ++f) {
        if (dir.width > 100000) return false;
        dir.width = dir.width * 10 + (*f - '0');
      }
    }
    if (*f == '.') {
      ++f;
      if (*f == '*') {
        dir.precision = va_arg(*args, int);
        ++f;
      } else {
        dir.precision = 0;
        for (; *f >= '0' && *f <= '9'; ++f) {
          if (dir.precision > 100000) return false;
          dir.precision = dir.precision * 10 + (*f - '0');
        }
      }
    }
    if (*f == 'l') {
      dir.size = 1;
      if (*++f == 'l') {
        dir.size = 2;
        ++f;
      }
    } else if (*f == 'z') {
      dir.size = 3;
      ++f;
    }
    if (dir.left) dir.zero = false;
    char conversion = *f++;
    switch (conversion) {
      case 'd':
      case 'i': {
        if (dir.precision >= 0) return false;
        long long value = dir.size == 0   ? va_arg(*args, int)
                          : dir.size == 1 ? va_arg(*args, long)
                          : dir.size == 2 ? va_arg(*args, long long)
                                           : static_cast<long long>(va_arg(*args, ssize_t));
        unsigned long long magnitude =
            value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                      : static_cast<unsigned long long>(value);
        PutNumber(out, magnitude, value < 0, 10, false, dir);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        if (dir.precision >= 0) return false;
        unsigned long long value = dir.size == 0   ? va_arg(*args, unsigned int)
                                   : dir.size == 1 ? va_arg(*args, unsigned long)
                                   : dir.size == 2 ? va_arg(*args, unsigned long long)
                                                    : va_arg(*args, size_t);
        PutNumber(out, value, false, conversion == 'u' ? 10 : 16, conversion == 'X', dir);
        break;
      }
      case 'c': {
        if (dir.size != 0 || dir.zero) return false;
        char c = static_cast<char>(va_arg(*args, int));
        Pad(out, &c, 1, dir);
        break;
      }
      case 's': {
        if (dir.size != 0 || dir.zero) return false;
        const char* text = va_arg(*args, const char*);
        if (text == nullptr) return false;
        size_t length = dir.precision >= 0
                            ? strnlen(text, static_cast<size_t>(dir.precision))
                            : strlen(text);
        Pad(out, text, length, dir);
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

void AppendVFormat(std::string& out, const char* format, va_list args) {
  size_t old = out.size();
  va_list fast;
  va_copy(fast, args);
  bool done;
  {
    Sink sink(out);
    done = FastFormat(sink, format, &fast);
  }
  va_end(fast);
  if (done) return;
  out.resize(old);
  char small[1024];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  out.resize(old + static_cast<size_t>(n) + 1);
  vsnprintf(&out[old], static_cast<size_t>(n) + 1, format, args);
  out.resize(old + static_cast<size_t>(n));
}

void AppendFormat(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppendVFormat(out, format, args);
  va_end(args);
}

}  // namespace klogdetail

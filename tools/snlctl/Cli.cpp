#include "tools/snlctl/Cli.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace snlctl {

long ParseNumber(const std::string& text, long min, long max, const char* what) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(begin, &end, 10);
  // strtol accepts leading white space; a number on the command line has none.
  bool numeric = !text.empty() && end != begin && *end == '\0' &&
                 !std::isspace(static_cast<unsigned char>(text[0]));
  if (!numeric) throw UsageError(std::string(what) + " '" + text + "' is not a number");
  if (errno == ERANGE || value < min || value > max)
    throw UsageError(std::string(what) + " " + text + " out of range (" + std::to_string(min) +
                     " to " + std::to_string(max) + ")");
  return value;
}

int ParseBoardIndex(const std::string& text) {
  return static_cast<int>(ParseNumber(text, 0, kMaxBoardIndex, "board index"));
}

namespace {
// Length of the UTF-8 sequence starting at s[i], or 0 when it is not a valid one.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k)
    if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return 0;
  return len;
}
}  // namespace

std::string ToUtf8(const std::string& text) {
  bool valid = true;
  for (size_t i = 0; i < text.size() && valid;) {
    size_t len = Utf8SequenceLength(text, i);
    valid = len != 0;
    i += len;
  }
  if (valid) return text;
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace snlctl

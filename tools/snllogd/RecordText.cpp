#include "tools/snllogd/RecordText.h"

namespace snllogd {

namespace {

// Length of the well-formed UTF-8 sequence at text[i] (2 to 4), or 0.
size_t Utf8Length(const std::string& text, size_t i) {
  auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  unsigned char lead = byte(i);
  size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4                               ? 4
                                                                               : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  // Overlong three- and four-byte forms, surrogates and code points past U+10FFFF.
  unsigned char second = byte(i + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
    return 0;
  return length;
}

void AppendEscaped(unsigned char c, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  out += '\\';
  out += 'x';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

bool IsDigits(const std::string& line, size_t at, size_t count) {
  for (size_t k = at; k < at + count; ++k) {
    if (line[k] < '0' || line[k] > '9') return false;
  }
  return true;
}

}  // namespace

void AppendLine(const std::string& text, std::string& out) {
  size_t end = text.size() - (!text.empty() && text.back() == '\n' ? 1 : 0);
  for (size_t i = 0; i < end;) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      // Plain text, the common case: copied as a run.
      size_t run = i + 1;
      while (run < end && text[run] >= 0x20 && text[run] < 0x7F) ++run;
      out.append(text, i, run - i);
      i = run;
    } else if (c == '\t') {
      out += '\t';
      ++i;
    } else if (c < 0x80) {
      AppendEscaped(c, out);
      ++i;
    } else if (size_t length = Utf8Length(text, i); length != 0 && i + length <= end) {
      if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
        AppendEscaped(c, out);
        AppendEscaped(static_cast<unsigned char>(text[i + 1]), out);
      } else {
        out.append(text, i, length);
      }
      i += length;
    } else {
      if (c < 0xA0) {
        AppendEscaped(c, out);
      } else {
        out += static_cast<char>(c);
      }
      ++i;
    }
  }
  out += '\n';
}

LineParts SplitLine(const std::string& line) {
  LineParts parts;
  size_t end = line.size() - (!line.empty() && line.back() == '\n' ? 1 : 0);
  // "X|dd/mm/yyyy hh:mm:ss.mmm": 25 characters.
  bool header = end >= 25 && std::string("EWINT").find(line[0]) != std::string::npos &&
                line[1] == '|' && IsDigits(line, 2, 2) && line[4] == '/' && IsDigits(line, 5, 2) &&
                line[7] == '/' && IsDigits(line, 8, 4) && line[12] == ' ' &&
                IsDigits(line, 13, 2) && line[15] == ':' && IsDigits(line, 16, 2) &&
                line[18] == ':' && IsDigits(line, 19, 2) && line[21] == '.' &&
                IsDigits(line, 22, 3);
  if (!header) {
    parts.rest = line.substr(0, end);
    return parts;
  }
  parts.level = line[0];
  parts.time = line.substr(8, 4) + "-" + line.substr(5, 2) + "-" + line.substr(2, 2) + " " +
               line.substr(13, 12);
  size_t from = 25;
  if (from < end && line[from] == '|') ++from;
  if (from < end && line[from] == ' ') ++from;
  parts.rest = line.substr(from, end - from);
  return parts;
}

}  // namespace snllogd

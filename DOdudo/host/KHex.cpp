#include "DOdudo/host/KHex.h"

#include <cstdio>

namespace dodudo {

kstring DataToHex(const void* data, unsigned int size, const kstring& separator) {
  kstring text;
  if (size == 0) return text;
  text.reserve(static_cast<size_t>(size) * (separator.size() + 2));
  const auto* bytes = static_cast<const unsigned char*>(data);
  text.AppendFormat("%02X", bytes[0]);
  for (unsigned int i = 1; i < size; ++i) text.AppendFormat("%s%02X", separator.c_str(), bytes[i]);
  return text;
}

void HexToData(const kstring& text, std::vector<unsigned char>& out, const kstring& separators) {
  size_t position = 0;
  while (position < text.size()) {
    // Scan at most the two characters at the position, as "%02x" would, from a private
    // NUL-terminated copy (the text may hold NULs and need not be terminated where we stop).
    char pair[3] = {text[position], position + 1 < text.size() ? text[position + 1] : '\0', '\0'};
    unsigned int value = 0;
    if (std::sscanf(pair, "%02x", &value) != 1) value = 0;
    out.push_back(static_cast<unsigned char>(value & 0xFF));
    position += 2;
    while (position < text.size() && separators.find(text[position]) != kstring::npos) ++position;
  }
}

std::vector<unsigned char> HexToData(const kstring& text, const kstring& separators) {
  std::vector<unsigned char> out;
  HexToData(text, out, separators);
  return out;
}

}  // namespace dodudo

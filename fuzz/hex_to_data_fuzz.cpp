// HexToData over arbitrary text and separators (the input up to its first NUL is the separator
// set). It never fails; and hex it produced itself reads back to the same bytes.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "DOdudo/host/KHex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const void* nul = memchr(data, 0, size);
  size_t sepLength =
      nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : 0;
  dodudo::kstring separators(text, sepLength);
  size_t start = nul != nullptr ? sepLength + 1 : 0;
  dodudo::kstring hex(text + start, size - start);

  std::vector<unsigned char> bytes = dodudo::HexToData(hex, separators);
  if (bytes.size() > hex.size() / 2 + 1) abort();

  // A separator that cannot be taken for a digit, sign, "x" or blank round-trips the bytes.
  dodudo::kstring sep = "-";
  std::vector<unsigned char> back = dodudo::HexToData(
      dodudo::DataToHex(bytes.data(), static_cast<unsigned int>(bytes.size()), sep), sep);
  if (back != bytes) abort();
  return 0;
}

#pragma once

#include <vector>

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"

namespace dodudo {

// Two upper-case hex digits per byte, the separator between bytes (never before the first or
// after the last): {0x01, 0xAB} with ":" gives "01:AB". Size 0 gives an empty text.
DODUDO_API kstring DataToHex(const void* data, unsigned int size, const kstring& separator);

// Reads pairs of hex digits ("0A-ff 3" with separators "- " gives 0x0A, 0xFF, 0x03) and appends
// the bytes to out. After each pair every following separator character is skipped; a single
// trailing character is read on its own. Never fails: a pair without digits gives 0.
DODUDO_API void HexToData(const kstring& text, std::vector<unsigned char>& out,
                          const kstring& separators);
DODUDO_API std::vector<unsigned char> HexToData(const kstring& text, const kstring& separators);

}  // namespace dodudo

#pragma once

// snlctl vpd: decodes a raw VPD image file with the library's exported accessors and prints every
// value and the checksum verdict.

#include <string>
#include <vector>

namespace snlctl {

// Highest type number passed on to the library. The layouts are selected by small type numbers;
// anything above cannot name one, and is refused here rather than cast into the layout enum.
constexpr long kMaxVpdType = 31;

// Reads the whole file, refusing more than maxBytes. Throws UsageError when the file cannot be
// opened or read, or is larger than maxBytes.
std::vector<unsigned char> ReadImageFile(const std::string& path, size_t maxBytes);

// Decodes the image in path as VPD layout type. Accepts a whole image of the type's size, or for
// layouts whose last bytes the board does not store, the stored part alone (the rest is taken as
// zero). Throws UsageError for an unknown type or a file of another size. Returns kExitOk when
// the stored checksum matches, kExitFailed when it does not.
int DumpVpdFile(const std::string& path, long type);

}  // namespace snlctl

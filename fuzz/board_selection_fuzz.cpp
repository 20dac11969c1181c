// The board selection a process is given in its environment (SNL_BOARDS). Accepted text is only
// digits and commas, every index is in range, and the indexes written back read back the same.
#include <cstdlib>
#include <string>
#include <vector>

#include "snl/BoardPlaces.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<int> indexes;
  if (!snlusb::ParseBoardSelection(text.c_str(), &indexes)) return 0;
  if (text.find_first_not_of("0123456789,", 0, 11) != std::string::npos &&
      text.find('\0') == std::string::npos)
    abort();
  std::string back;
  for (int index : indexes) {
    if (index < 0 || index > snlusb::kMaxBoardIndex) abort();
    back += (back.empty() ? "" : ",") + std::to_string(index);
  }
  std::vector<int> again;
  if (!snlusb::ParseBoardSelection(back.c_str(), &again) || again != indexes) abort();
  return 0;
}

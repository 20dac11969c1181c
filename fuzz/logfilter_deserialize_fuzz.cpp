// Arbitrary bytes received as a log filter: either refused with an exception or read into a
// filter whose own encoding then reads back to the same bytes.
#include <cstdlib>
#include <exception>
#include <string>

#include "DOdudo/KLogFilter.h"
#include "DOdudo/LB9/Basics/KBuffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KLogFilter filter;
  dodudo::KBufferDeserializer reader(data, static_cast<unsigned int>(size));
  try {
    filter.Serialize(reader);
  } catch (const std::exception&) {
    return 0;
  }
  // Whatever was accepted is a complete filter of the 29 sources.
  std::string bytes = filter.ToBytes();
  if (bytes.size() != 4 + 29 * 9 + 17) abort();
  KLogFilter copy;
  copy.FromBytes(bytes.data(), bytes.size());
  if (copy.ToBytes() != bytes) abort();
  for (unsigned int source = 0; source < 29; ++source) {
    if (copy.Active(source) != filter.Active(source)) abort();
  }
  return 0;
}

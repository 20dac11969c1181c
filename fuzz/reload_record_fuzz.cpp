// Arbitrary bytes received from a log server as one reload record (the bytes of a frame after its
// count): refused whole with an exception, or decoded into a record whose own encoding gives the
// same bytes back (a filter sent with another source count comes back with 29).
#include <cstdlib>
#include <exception>
#include <string>

#include "DOdudo/KLogMessage.h"
#include "DOdudo/KLogServerLink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dodudo::KReloadMessage record;
  try {
    record.Decode(data, static_cast<unsigned int>(size));
  } catch (const std::exception&) {
    return 0;
  }
  bool isFilter = record.Type() == dodudo::KReloadMessage::kLogFilter;
  try {
    record.GetLogFilter();
    if (!isFilter) abort();
  } catch (const std::exception&) {
    if (isFilter) abort();
  }
  std::string frame;
  KLogServerLink::AppendFrame(frame, record);
  std::string input(reinterpret_cast<const char*>(data), size);
  bool sameCount = size >= 8 && input.compare(4, 4, std::string("\x1d\0\0\0", 4)) == 0;
  if ((!isFilter || sameCount) && frame.substr(4) != input) abort();
  return 0;
}

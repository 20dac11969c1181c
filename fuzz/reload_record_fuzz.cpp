// Arbitrary bytes received from a log server as one reload record (the bytes of a frame after its
// count): refused whole with an exception, or decoded into a record whose own encoding has the
// size of its type (a filter always with its 29 sources) and decodes back to the same record.
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
  if (frame.size() != 4 + 4 + (isFilter ? 4 + 29 * 9 + 17 : 0)) abort();
  dodudo::KReloadMessage again;
  again.Decode(frame.data() + 4, static_cast<unsigned int>(frame.size() - 4));
  std::string second;
  KLogServerLink::AppendFrame(second, again);
  if (second != frame) abort();
  return 0;
}

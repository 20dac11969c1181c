// A kstring read from arbitrary bytes: either a documented refusal or a string that encodes back
// to exactly the bytes it was read from (terminator aside).
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dodudo::kstring text("previous");
  dodudo::KBufferDeserializer reader(data, static_cast<unsigned int>(size));
  try {
    text.Serialize(reader);
  } catch (const dodudo::KException&) {
    if (text != "previous") abort();
    return 0;
  } catch (const std::runtime_error&) {
    if (text != "previous") abort();
    return 0;
  } catch (const std::length_error&) {
    return 0;
  }
  unsigned int consumed = reader.Consumed();
  if (consumed != text.size() + 5) abort();
  dodudo::KBufferHolder holder;
  holder.Store(text);
  if (holder.Size() != consumed) abort();
  // Same prefix and characters; the last byte is our NUL, whatever the wire carried.
  if (std::memcmp(holder.Data(), data, consumed - 1) != 0) abort();
  return 0;
}

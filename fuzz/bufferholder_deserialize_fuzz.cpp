// A KBufferHolder read from arbitrary bytes into holders in each starting state (empty, owned,
// external). A refusal leaves the holder as it was; a success round-trips.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/host/KBaseException.h"

namespace {

void ReadInto(dodudo::KBufferHolder& holder, const uint8_t* data, size_t size) {
  std::vector<unsigned char> before(holder.Data(), holder.Data() + holder.Size());
  unsigned int capacity = holder.Capacity();
  dodudo::KBufferDeserializer reader(data, static_cast<unsigned int>(size));
  try {
    holder.Serialize(reader);
  } catch (const dodudo::KException&) {
    if (holder.Size() != before.size() || holder.Capacity() != capacity) abort();
    if (!before.empty() && std::memcmp(holder.Data(), before.data(), before.size()) != 0) abort();
    return;
  }
  if (holder.Size() > dodudo::KMAX_BUFFER_SIZE || holder.Size() > holder.Capacity()) abort();
  if (reader.Consumed() != holder.Size() + 4) abort();
  dodudo::KBufferHolder copy;
  copy.Store(holder);
  if (copy.Size() != reader.Consumed() || std::memcmp(copy.Data(), data, copy.Size()) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dodudo::KBufferHolder empty;
  ReadInto(empty, data, size);
  dodudo::KBufferHolder owned(16);
  ReadInto(owned, data, size);
  unsigned char external[16] = {0};
  dodudo::KBufferHolder wrapped(external, sizeof external);
  ReadInto(wrapped, data, size);
  return 0;
}

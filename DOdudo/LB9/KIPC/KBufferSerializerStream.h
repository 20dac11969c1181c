#pragma once

#include <cstdint>
#include <vector>

#include "DOdudo/LB9/Basics/KSerializable.h"
#include "DOdudo/host/KExport.h"

namespace dodudo {

// An out serialiser that appends to a growable byte vector; Clear() keeps the capacity, so a
// stream reused for many objects stops allocating once it has seen the largest. Not thread-safe.
class DODUDO_API KBufferSerializerStream : public KOutSerializer {
 public:
  KBufferSerializerStream() = default;
  ~KBufferSerializerStream() override;

  void Serialize(void* data, unsigned int size) override;

  // Replaces the contents with one frame: the 32-bit little-endian count of the object's bytes,
  // then the object's encoding. The count is taken from the bytes produced, so it always matches.
  void StoreFrame(const KSerializable& object);

  const unsigned char* Data() const { return bytes_.data(); }
  unsigned int Size() const { return static_cast<unsigned int>(bytes_.size()); }
  void Clear() { bytes_.clear(); }

 private:
  std::vector<unsigned char> bytes_;
};

}  // namespace dodudo

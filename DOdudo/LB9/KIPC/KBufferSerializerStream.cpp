#include "DOdudo/LB9/KIPC/KBufferSerializerStream.h"

namespace dodudo {

KBufferSerializerStream::~KBufferSerializerStream() = default;

void KBufferSerializerStream::Serialize(void* data, unsigned int size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  bytes_.insert(bytes_.end(), bytes, bytes + size);
}

void KBufferSerializerStream::StoreFrame(const KSerializable& object) {
  bytes_.assign(4, 0);
  // Serialize is not const because the same method also reads; writing leaves the object as is.
  const_cast<KSerializable&>(object).Serialize(*this);
  const uint32_t count = static_cast<uint32_t>(bytes_.size() - 4);
  for (unsigned int i = 0; i < 4; ++i) bytes_[i] = static_cast<unsigned char>(count >> (8 * i));
}

}  // namespace dodudo

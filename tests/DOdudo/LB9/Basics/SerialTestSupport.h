#pragma once

#include <cstdint>
#include <vector>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/host/KString.h"

namespace serialtest {

using Bytes = std::vector<unsigned char>;

// The encoding of object, through the size pass and the buffer serialiser.
inline Bytes Encode(const dodudo::KSerializable& object) {
  dodudo::KBufferHolder holder;
  holder.Store(object);
  return Bytes(holder.Data(), holder.Data() + holder.Size());
}

inline void Decode(const Bytes& bytes, dodudo::KSerializable& object) {
  dodudo::KBufferDeserializer reader(bytes.data(), static_cast<unsigned int>(bytes.size()));
  object.Serialize(reader);
}

inline Bytes U32(uint32_t v) {
  return Bytes{static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
               static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

// (A loop, not insert: gcc 12 reports a bogus array-bounds error for insert at -O2.)
inline Bytes Cat(Bytes a, const Bytes& b) {
  for (unsigned char byte : b) a.push_back(byte);
  return a;
}

// Nested objects and a counted list of strings.
struct Composite : dodudo::KSerializable {
  int32_t id = 0;
  dodudo::kstring name;
  dodudo::KBufferHolder blob;
  dodudo::KPlainData<bool> wanted;
  std::vector<dodudo::kstring> items;

  void Serialize(dodudo::KSerializer& s) override {
    s& id& name& blob& wanted;
    uint32_t count = static_cast<uint32_t>(items.size());
    s& count;
    if (s.In()) items.assign(0, {});
    for (uint32_t i = 0; i < count; ++i) {
      // Reading grows the list with what actually arrives: a forged count reserves nothing.
      if (s.In()) items.emplace_back();
      s& items[i];
    }
  }
};

}  // namespace serialtest

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

enum class Colour : int32_t { kRed = 1, kBlue = 0x0A0B0C0D };

// A record with a field of every kind, including a counted list.
struct Composite : dodudo::KSerializable {
  uint8_t u8 = 0;
  int16_t i16 = 0;
  uint32_t u32 = 0;
  int64_t i64 = 0;
  bool flag = false;
  double real = 0;
  Colour colour = Colour::kRed;
  dodudo::kstring name;
  dodudo::KBufferHolder blob;
  dodudo::KPlainData<bool> wanted;
  std::vector<dodudo::kstring> items;

  void Serialize(dodudo::KSerializer& s) override {
    s & u8 & i16 & u32 & i64 & flag & real & colour & name & blob & wanted;
    uint32_t count = static_cast<uint32_t>(items.size());
    s & count;
    if (s.In()) {
      // Grow with what actually arrives, so that a forged count cannot reserve memory.
      items.clear();
      for (uint32_t i = 0; i < count; ++i) {
        dodudo::kstring item;
        s & item;
        items.push_back(item);
      }
    } else {
      for (auto& item : items) s & item;
    }
  }
};

}  // namespace serialtest

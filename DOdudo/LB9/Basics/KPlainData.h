#pragma once

#include "DOdudo/LB9/Basics/KSerializable.h"
#include "DOdudo/host/KExport.h"

namespace dodudo {

// One plain value as a serialisable object: KPlainData<bool> encodes exactly one byte.
template <typename T>
class DODUDO_API KPlainData : public KSerializable {
 public:
  KPlainData() = default;
  explicit KPlainData(T initial) : value(initial) {}
  void Serialize(KSerializer& serializer) override { serializer& value; }

  T value{};
};

// A payload of no bytes.
class DODUDO_API KEmptyData : public KSerializable {
 public:
  ~KEmptyData() override;
  void Serialize(KSerializer& serializer) override;
};

}  // namespace dodudo

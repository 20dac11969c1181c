// A record with a field of every kind, a nested holder and a counted list, read from arbitrary
// bytes: every read stays inside the block, and what decodes re-encodes to the same bytes.
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KString.h"

namespace {

enum class Kind : int32_t { kNone = 0, kSome = 1 };

struct Record : dodudo::KSerializable {
  uint8_t u8 = 0;
  int16_t i16 = 0;
  uint32_t u32 = 0;
  int64_t i64 = 0;
  bool flag = false;
  double real = 0;
  Kind kind = Kind::kNone;
  dodudo::kstring name;
  dodudo::KBufferHolder blob;
  dodudo::KPlainData<bool> wanted;
  std::vector<dodudo::kstring> items;

  void Serialize(dodudo::KSerializer& s) override {
    s& u8& i16& u32& i64& flag& real& kind& name& blob& wanted;
    uint32_t count = static_cast<uint32_t>(items.size());
    s& count;
    if (s.In()) {
      items.clear();
      for (uint32_t i = 0; i < count; ++i) {
        dodudo::kstring item;
        s& item;
        items.push_back(item);
      }
    } else {
      for (auto& item : items) s& item;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Record record;
  dodudo::KBufferDeserializer reader(data, static_cast<unsigned int>(size));
  try {
    record.Serialize(reader);
  } catch (const dodudo::KException&) {
    return 0;
  } catch (const std::runtime_error&) {
    return 0;
  } catch (const std::length_error&) {
    return 0;
  }
  unsigned int measured = dodudo::KSerialSizeCalculator::Measure(record);
  if (measured != reader.Consumed()) abort();
  dodudo::KBufferHolder again;
  again.Store(record);
  if (again.Size() != measured) abort();
  return 0;
}

#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "DOdudo/host/KExport.h"

namespace dodudo {

class KSerializer;

// An object that writes, reads and measures itself through one Serialize operation; the
// serialiser handed to it decides the direction. Serialize must visit the same fields in the same
// order in both directions. Not thread-safe: one thread per object and operation.
class DODUDO_API KSerializable {
 public:
  KSerializable() = default;
  KSerializable(const KSerializable&) = default;
  KSerializable& operator=(const KSerializable&) = default;
  virtual ~KSerializable();
  virtual void Serialize(KSerializer& serializer) = 0;

  // Send-promptly hint: a buffered sender flushes its queue at once for an object with it set.
  bool SendPromptly() const { return sendPromptly_; }
  void SetSendPromptly(bool on) { sendPromptly_ = on; }

 protected:
  bool sendPromptly_ = false;
};

// Byte sink or source. Serialize is the direction-neutral primitive (an out serialiser consumes
// size bytes from data, an in serialiser fills them); Read and Write act only in their own
// direction, so an object whose encoding depends on the direction can test In() and use them.
// Failures are exceptions of the concrete serialiser. Not thread-safe.
class DODUDO_API KSerializer {
 public:
  virtual void Serialize(void* data, unsigned int size) = 0;
  virtual ~KSerializer();
  virtual void Read(void* data, unsigned int size) = 0;
  virtual void Write(void* data, unsigned int size) = 0;
  virtual bool In() = 0;

  // Nested objects (kstring, KBufferHolder, payloads) serialise themselves.
  KSerializer& operator&(KSerializable& object) {
    object.Serialize(*this);
    return *this;
  }

  // Plain numeric fields: sizeof(field) bytes, little-endian, no tag and no padding, whatever the
  // host. A bool is one byte 0 or 1; any non-zero byte reads as true.
  template <typename T>
  std::enable_if_t<std::is_arithmetic_v<T> || std::is_enum_v<T>, KSerializer&> operator&(T& field) {
    // `long` is 4 bytes on 32-bit x86 and 8 on x86-64: it must never reach the wire. On 64-bit
    // hosts int64_t is spelled `long`, so the check bites on the 32-bit build.
    static_assert(
        !(std::is_same_v<T, long> || std::is_same_v<T, unsigned long>) || sizeof(long) == 8,
        "use a fixed-width integer type on the wire");
    static_assert(!std::is_same_v<T, long double>, "long double has no portable encoding");
    unsigned char bytes[sizeof(T)];
    if (In()) {
      Serialize(bytes, sizeof bytes);
      field = Decode<T>(bytes);
    } else {
      Encode(field, bytes);
      Serialize(bytes, sizeof bytes);
    }
    return *this;
  }

 private:
  template <typename T>
  using WireType = std::conditional_t<
      sizeof(T) == 1, uint8_t,
      std::conditional_t<sizeof(T) == 2, uint16_t,
                         std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;

  template <typename T>
  static void Encode(const T& field, unsigned char* bytes) {
    static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8,
                  "unsupported field size");
    WireType<T> raw;
    if constexpr (std::is_same_v<T, bool>) {
      raw = field ? 1 : 0;
    } else {
      std::memcpy(&raw, &field, sizeof raw);
    }
    for (unsigned int i = 0; i < sizeof(T); ++i)
      bytes[i] = static_cast<unsigned char>(raw >> (8 * i));
  }

  template <typename T>
  static T Decode(const unsigned char* bytes) {
    WireType<T> raw = 0;
    for (unsigned int i = 0; i < sizeof(T); ++i)
      raw |= static_cast<WireType<T>>(bytes[i]) << (8 * i);
    if constexpr (std::is_same_v<T, bool>) {
      return raw != 0;
    } else {
      T field;
      std::memcpy(&field, &raw, sizeof field);
      return field;
    }
  }
};

// Reading direction: Read forwards to Serialize, Write does nothing.
class DODUDO_API KInSerializer : public KSerializer {
 public:
  void Read(void* data, unsigned int size) override {
    if (size != 0) Serialize(data, size);
  }
  void Write(void*, unsigned int) override {}
  bool In() override { return true; }
};

// Writing direction: Write forwards to Serialize, Read does nothing.
class DODUDO_API KOutSerializer : public KSerializer {
 public:
  void Read(void*, unsigned int) override {}
  void Write(void* data, unsigned int size) override {
    if (size != 0) Serialize(data, size);
  }
  bool In() override { return false; }
};

}  // namespace dodudo

#pragma once

#include <cstdint>
#include <string>

#include "DOdudo/LB9/Basics/KSerializable.h"
#include "DOdudo/host/KExport.h"

namespace dodudo {

// Largest block a KBufferHolder accepts from the wire.
constexpr unsigned int KMAX_BUFFER_SIZE = 8096;

// Growable byte block that serialises as a 32-bit size followed by the bytes. The holder either
// owns its array (allocated here, freed on destruction) or wraps external memory, which it never
// frees, grows or overwrites by assignment. Not thread-safe.
//
// Reading refuses a size above KMAX_BUFFER_SIZE and a size that would have to grow external
// memory (dodudo::KException); the holder is unchanged when the read fails.
class DODUDO_API KBufferHolder : public KSerializable {
 public:
  KBufferHolder();
  // An owned, zero-filled block of size bytes.
  explicit KBufferHolder(unsigned int size);
  // Wraps size bytes of the caller's memory, which must outlive the holder (size 0: empty).
  KBufferHolder(void* external, unsigned int size);
  // The copy always owns its bytes.
  KBufferHolder(const KBufferHolder& other);
  // Throws "Cannot overwrite external Data" when this holder wraps external memory; reuses the
  // owned array when the source fits, else allocates exactly the source size.
  KBufferHolder& operator=(const KBufferHolder& other);
  ~KBufferHolder() override;

  void Serialize(KSerializer& serializer) override;

  // Replaces the contents with the encoding of object: one size pass, one allocation of exactly
  // that many bytes, one writing pass.
  void Store(const KSerializable& object);
  // Reads object from the contents; a read past the end throws dodudo::KException.
  void Load(KSerializable& object) const;

  unsigned char* Data() { return data_; }
  const unsigned char* Data() const { return data_; }
  unsigned int Size() const { return size_; }
  unsigned int Capacity() const { return capacity_; }
  bool Owned() const { return owned_; }

 private:
  void Release();

  unsigned char* data_;
  uint32_t size_;
  uint32_t capacity_;
  bool owned_;
};

// Counts the bytes an object would take; touches no memory.
class DODUDO_API KSerialSizeCalculator : public KOutSerializer {
 public:
  void Serialize(void* data, unsigned int size) override;
  unsigned int Size() const { return total_; }
  static unsigned int Measure(const KSerializable& object);

 private:
  uint32_t total_ = 0;
};

// Appends what it is given to a string: frames gathered for one write, or a record's bytes.
class DODUDO_API KStringSerializer : public KOutSerializer {
 public:
  explicit KStringSerializer(std::string& out) : out_(out) {}
  void Serialize(void* data, unsigned int size) override;
  // Appends the frame of one object: its byte count (32-bit little-endian), then the object.
  static void AppendFrame(std::string& out, const KSerializable& object);

 private:
  std::string& out_;
};

// Writes into a holder's bytes from the start. Writing past the holder's size throws
// dodudo::KException before anything is copied (the holder is sized by a size pass first).
class DODUDO_API KBufferSerializer : public KOutSerializer {
 public:
  // With ownsHolder the serialiser deletes the holder when it is destroyed.
  explicit KBufferSerializer(KBufferHolder* holder, bool ownsHolder = false);
  ~KBufferSerializer() override;
  KBufferSerializer(const KBufferSerializer&) = delete;
  KBufferSerializer& operator=(const KBufferSerializer&) = delete;

  void Serialize(void* data, unsigned int size) override;
  unsigned int Written() const;

 private:
  bool ownsHolder_;
  KBufferHolder* holder_;
  unsigned char* cursor_;
};

// Reads from a memory block, never past its end: a request for more bytes than are left (a forged
// length inside a received object) throws dodudo::KException and copies nothing. The block must
// outlive the deserialiser.
class DODUDO_API KBufferDeserializer : public KInSerializer {
 public:
  explicit KBufferDeserializer(const KBufferHolder& holder);
  KBufferDeserializer(const void* data, unsigned int size);

  void Serialize(void* data, unsigned int size) override;
  unsigned int Consumed() const { return static_cast<unsigned int>(cursor_ - start_); }
  unsigned int Remaining() const { return static_cast<unsigned int>(end_ - cursor_); }

 private:
  const unsigned char* cursor_;
  const unsigned char* start_;
  const unsigned char* end_;
};

}  // namespace dodudo

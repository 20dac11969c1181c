#include "DOdudo/LB9/Basics/KBuffer.h"

#include <cstring>
#include <memory>

#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/host/KBaseException.h"

namespace dodudo {

namespace {
// Recorded as the origin of every exception raised here.
constexpr const char* kOrigin = "DOdudo/LB9/Basics/KBuffer";
}  // namespace

// ---------------------------------------------------------------------------------------------
// KBufferHolder

KBufferHolder::KBufferHolder() : data_(nullptr), size_(0), capacity_(0), owned_(false) {}

KBufferHolder::KBufferHolder(unsigned int size) : KBufferHolder() {
  if (size == 0) return;
  data_ = new unsigned char[size]();
  size_ = capacity_ = size;
  owned_ = true;
}

KBufferHolder::KBufferHolder(void* external, unsigned int size)
    : data_(size != 0 ? static_cast<unsigned char*>(external) : nullptr),
      size_(data_ != nullptr ? size : 0),
      capacity_(size_),
      owned_(false) {}

KBufferHolder::KBufferHolder(const KBufferHolder& other)
    : KSerializable(other), data_(nullptr), size_(0), capacity_(0), owned_(false) {
  if (other.size_ == 0) return;
  data_ = new unsigned char[other.size_];
  std::memcpy(data_, other.data_, other.size_);
  size_ = capacity_ = other.size_;
  owned_ = true;
}

KBufferHolder& KBufferHolder::operator=(const KBufferHolder& other) {
  if (this == &other) return *this;
  if (data_ != nullptr && !owned_)
    throw KException(kOrigin, __LINE__, "Cannot overwrite external Data");
  KSerializable::operator=(other);
  if (data_ == nullptr || other.size_ > capacity_) {
    Release();
    if (other.size_ != 0) {
      data_ = new unsigned char[other.size_];
      capacity_ = other.size_;
      owned_ = true;
    }
  }
  if (other.size_ != 0) std::memcpy(data_, other.data_, other.size_);
  size_ = other.size_;
  return *this;
}

KBufferHolder::~KBufferHolder() { Release(); }

void KBufferHolder::Release() {
  if (owned_) delete[] data_;
  data_ = nullptr;
  size_ = capacity_ = 0;
  owned_ = false;
}

void KBufferHolder::Serialize(KSerializer& serializer) {
  if (!serializer.In()) {
    serializer& size_;
    serializer.Write(data_, size_);
    return;
  }
  uint32_t size = 0;
  serializer& size;
  if (size > KMAX_BUFFER_SIZE)
    throw KException(kOrigin, __LINE__, "Maximum buffer size of %d exceeded (%d)",
                     static_cast<int>(KMAX_BUFFER_SIZE), static_cast<int>(size));
  if (size != size_ && size > capacity_) {
    if (!owned_ && data_ != nullptr)
      throw KException(kOrigin, __LINE__, "Impossible serialize on external alloced memory");
    // Read into the new array first: a failed read leaves the holder as it was.
    std::unique_ptr<unsigned char[]> grown(new unsigned char[size]);
    serializer.Read(grown.get(), size);
    Release();
    data_ = grown.release();
    size_ = capacity_ = size;
    owned_ = true;
    return;
  }
  // Same or smaller size: the array is reused. Buffer reads copy all or nothing, so the size
  // changes only once the bytes are in.
  serializer.Read(data_, size);
  size_ = size;
}

void KBufferHolder::Store(const KSerializable& object) {
  // Serialize is direction-neutral and not const; writing leaves the object unchanged.
  auto& source = const_cast<KSerializable&>(object);
  unsigned int total = KSerialSizeCalculator::Measure(object);
  Release();
  if (total != 0) {
    data_ = new unsigned char[total];
    size_ = capacity_ = total;
    owned_ = true;
  }
  KBufferSerializer writer(this);
  source.Serialize(writer);
}

void KBufferHolder::Load(KSerializable& object) const {
  KBufferDeserializer reader(*this);
  object.Serialize(reader);
}

// ---------------------------------------------------------------------------------------------
// Serialisers

void KSerialSizeCalculator::Serialize(void*, unsigned int size) { total_ += size; }

unsigned int KSerialSizeCalculator::Measure(const KSerializable& object) {
  KSerialSizeCalculator calculator;
  const_cast<KSerializable&>(object).Serialize(calculator);
  return calculator.Size();
}

void KStringSerializer::Serialize(void* data, unsigned int size) {
  out_.append(static_cast<const char*>(data), size);
}

void KStringSerializer::AppendFrame(std::string& out, const KSerializable& object) {
  uint32_t count = KSerialSizeCalculator::Measure(object);
  KStringSerializer writer(out);
  writer& count;
  const_cast<KSerializable&>(object).Serialize(writer);
}

KBufferSerializer::KBufferSerializer(KBufferHolder* holder, bool ownsHolder)
    : ownsHolder_(ownsHolder),
      holder_(holder),
      cursor_(holder != nullptr ? holder->Data() : nullptr) {}

KBufferSerializer::~KBufferSerializer() {
  if (ownsHolder_) delete holder_;
}

unsigned int KBufferSerializer::Written() const {
  return holder_ != nullptr ? static_cast<unsigned int>(cursor_ - holder_->Data()) : 0;
}

void KBufferSerializer::Serialize(void* data, unsigned int size) {
  if (size == 0) return;
  unsigned int left = holder_ != nullptr ? holder_->Size() - Written() : 0;
  if (size > left)
    throw KException(kOrigin, __LINE__, "Write beyond end of buffer (%u bytes requested, %u left)",
                     size, left);
  std::memcpy(cursor_, data, size);
  cursor_ += size;
}

KBufferDeserializer::KBufferDeserializer(const KBufferHolder& holder)
    : KBufferDeserializer(holder.Data(), holder.Size()) {}

KBufferDeserializer::KBufferDeserializer(const void* data, unsigned int size)
    : cursor_(static_cast<const unsigned char*>(data)),
      start_(cursor_),
      end_(cursor_ != nullptr ? cursor_ + size : nullptr) {}

void KBufferDeserializer::Serialize(void* data, unsigned int size) {
  if (size == 0) return;
  if (cursor_ == nullptr)
    throw KException(kOrigin, __LINE__, "Buffer not initialized, invalid serialization");
  if (size > Remaining())
    throw KException(kOrigin, __LINE__, "Read beyond end of buffer (%u bytes requested, %u left)",
                     size, Remaining());
  std::memcpy(data, cursor_, size);
  cursor_ += size;
}

KEmptyData::~KEmptyData() = default;
void KEmptyData::Serialize(KSerializer&) {}

}  // namespace dodudo

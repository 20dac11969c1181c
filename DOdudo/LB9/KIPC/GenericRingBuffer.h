#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <type_traits>

// A single-producer, single-consumer ring of a fixed number of elements, without a lock.
//
// Each side owns one position, a 32-bit word: bits 0-30 the index of an element, bit 31 a wrap
// flag that flips whenever the position passes the end of the storage. Equal words mean empty;
// equal indices with different flags mean full, so every one of the capacity elements is usable.
// A side writes only its own position and reads the other's once per operation: the producer
// publishes its elements with a release store of the writer position after copying them in, the
// consumer releases the slots with a release store of the reader position after copying them
// out, and each acquires the other's position before touching the slots it covers.
//
// Elements are copied one by one with their own assignment, so a ring of strings or records
// works like a ring of bytes; slots keep their last value until they are overwritten.
//
// Threading: one producer thread and one consumer thread at a time (producers that share a ring
// serialise themselves, as the buffered socket sender does with its send mutex). Used()/Free()
// may be asked from either side.

// One ring position (index and wrap flag in one word), read and written whole.
class BufferPointer {
 public:
  static constexpr uint32_t kWrapBit = 0x80000000u;
  static constexpr uint32_t kIndexMask = 0x7FFFFFFFu;

  BufferPointer() : word_(0) {}
  BufferPointer(const BufferPointer&) = delete;
  BufferPointer& operator=(const BufferPointer&) = delete;

  uint32_t Load(std::memory_order order = std::memory_order_acquire) const {
    return word_.load(order);
  }
  void Store(uint32_t word, std::memory_order order = std::memory_order_release) {
    word_.store(word, order);
  }
  static uint32_t Index(uint32_t word) { return word & kIndexMask; }
  static bool Wrapped(uint32_t word) { return (word & kWrapBit) != 0; }

 private:
  std::atomic<uint32_t> word_;
};

// What both sides share: the size of one element in bytes and the capacity in elements.
struct BufferGeometry {
  uint32_t elementSize;
  uint32_t capacity;

  // Elements between reader word r and writer word w.
  uint32_t Used(uint32_t r, uint32_t w) const {
    const uint32_t ri = BufferPointer::Index(r), wi = BufferPointer::Index(w);
    return ((r ^ w) & BufferPointer::kWrapBit) == 0 ? wi - ri : capacity - (ri - wi);
  }
  uint32_t Free(uint32_t r, uint32_t w) const { return capacity - Used(r, w); }
  // The word of a position moved n elements on (n never exceeds the capacity).
  uint32_t Advance(uint32_t word, uint32_t n) const {
    if (n == 0) return word;
    uint32_t index = BufferPointer::Index(word) + n;
    uint32_t wrap = word & BufferPointer::kWrapBit;
    if (index >= capacity) {
      index -= capacity;
      wrap ^= BufferPointer::kWrapBit;
    }
    return wrap | index;
  }
};

// One contiguous run of elements inside a ring's storage, handed to a delivery callback.
template <typename T>
struct ExtReaderData {
  T* data;
  uint32_t length;
};

namespace ringdetail {
// Copies n elements into the ring at index `at`, in two runs where they pass the end.
template <typename T>
void CopyIn(const BufferGeometry& g, T* storage, uint32_t at, const T* source, uint32_t n) {
  const uint32_t first = std::min(n, g.capacity - at);
  std::copy_n(source, first, storage + at);
  std::copy_n(source + first, n - first, storage);
}

template <typename T>
void CopyOut(const BufferGeometry& g, const T* storage, uint32_t at, T* dest, uint32_t n) {
  const uint32_t first = std::min(n, g.capacity - at);
  std::copy_n(storage + at, first, dest);
  std::copy_n(storage, n - first, dest + first);
}
}  // namespace ringdetail

// The producer's operations. Counts are in elements.
struct GenericWriterTraits {
  // Copies n elements in and publishes them, or does nothing when fewer than n are free.
  template <typename T>
  static bool traits_provide(const BufferGeometry& g, const BufferPointer& reader,
                             BufferPointer& writer, T* storage, const T* source, uint32_t n) {
    const uint32_t r = reader.Load(std::memory_order_acquire);
    const uint32_t w = writer.Load(std::memory_order_relaxed);
    if (g.Free(r, w) < n) return false;
    ringdetail::CopyIn(g, storage, BufferPointer::Index(w), source, n);
    writer.Store(g.Advance(w, n), std::memory_order_release);
    return true;
  }

  // Copies n elements at offset elements past the writer position without publishing them (a
  // record assembled in parts and published at once with traits_provider_commit). offset + n, or
  // 0 when fewer than offset + n are free.
  template <typename T>
  static uint32_t traits_provider_append(const BufferGeometry& g, const BufferPointer& reader,
                                         BufferPointer& writer, T* storage, const T* source,
                                         uint32_t n, uint32_t offset) {
    const uint32_t r = reader.Load(std::memory_order_acquire);
    const uint32_t w = writer.Load(std::memory_order_relaxed);
    if (static_cast<uint64_t>(g.Free(r, w)) < static_cast<uint64_t>(offset) + n) return 0;
    ringdetail::CopyIn(g, storage, BufferPointer::Index(g.Advance(w, offset)), source, n);
    return offset + n;
  }

  // Publishes n elements written with traits_provider_append; false when fewer are free.
  static bool traits_provider_commit(const BufferGeometry& g, const BufferPointer& reader,
                                     BufferPointer& writer, uint32_t n) {
    const uint32_t r = reader.Load(std::memory_order_acquire);
    const uint32_t w = writer.Load(std::memory_order_relaxed);
    if (g.Free(r, w) < n) return false;
    writer.Store(g.Advance(w, n), std::memory_order_release);
    return true;
  }

  // Reads up to n elements from a byte stream into the ring (the part after the end of the
  // storage only when the first part came whole) and publishes what was read whole. 0 when fewer
  // than n are free.
  template <typename T>
  static uint32_t traits_get(const BufferGeometry& g, const BufferPointer& reader,
                             BufferPointer& writer, T* storage, std::istream& in, uint32_t n) {
    static_assert(std::is_trivially_copyable_v<T>, "stream transfer needs plain elements");
    const uint32_t r = reader.Load(std::memory_order_acquire);
    const uint32_t w = writer.Load(std::memory_order_relaxed);
    if (g.Free(r, w) < n) return 0;
    const uint32_t at = BufferPointer::Index(w);
    const uint32_t first = std::min(n, g.capacity - at);
    uint32_t read = ReadElements(in, storage + at, first);
    if (read == first && n > first) read += ReadElements(in, storage, n - first);
    writer.Store(g.Advance(w, read), std::memory_order_release);
    return read;
  }

 private:
  template <typename T>
  static uint32_t ReadElements(std::istream& in, T* target, uint32_t n) {
    if (n == 0) return 0;
    in.read(reinterpret_cast<char*>(target), static_cast<std::streamsize>(n) * sizeof(T));
    return static_cast<uint32_t>(in.gcount() / static_cast<std::streamsize>(sizeof(T)));
  }
};

// The consumer's operations. Counts are in elements.
struct GenericReaderTraits {
  // Raised by a reader that must take an element from an empty ring.
  class BufferEmpty : public std::runtime_error {
   public:
    BufferEmpty() : std::runtime_error("BufferEmpty") {}
  };

  // Takes k elements: n, or with exact false at most what is there; 0 (and nothing taken) when
  // exact and fewer than n are there.
  template <typename T>
  static uint32_t traits_consume(const BufferGeometry& g, BufferPointer& reader,
                                 const BufferPointer& writer, const T* storage, T* dest, uint32_t n,
                                 bool exact) {
    const uint32_t r = reader.Load(std::memory_order_relaxed);
    const uint32_t k = Peek(g, r, writer, storage, dest, n, exact);
    if (k != 0) reader.Store(g.Advance(r, k), std::memory_order_release);
    return k;
  }

  // As traits_consume, without taking anything (a peek).
  template <typename T>
  static uint32_t traits_consume_begins(const BufferGeometry& g, const BufferPointer& reader,
                                        const BufferPointer& writer, const T* storage, T* dest,
                                        uint32_t n, bool exact) {
    return Peek(g, reader.Load(std::memory_order_relaxed), writer, storage, dest, n, exact);
  }

  // Takes n elements without copying them; false (and nothing taken) when fewer are there.
  static bool traits_consume_commit(const BufferGeometry& g, BufferPointer& reader,
                                    const BufferPointer& writer, uint32_t n) {
    const uint32_t w = writer.Load(std::memory_order_acquire);
    const uint32_t r = reader.Load(std::memory_order_relaxed);
    if (g.Used(r, w) < n) return false;
    reader.Store(g.Advance(r, n), std::memory_order_release);
    return true;
  }

  // Writes n elements to a byte stream; takes them only when the stream is still good then.
  // n, or 0 when fewer are there or the stream failed.
  template <typename T>
  static uint32_t traits_put(const BufferGeometry& g, BufferPointer& reader,
                             const BufferPointer& writer, const T* storage, std::ostream& out,
                             uint32_t n) {
    static_assert(std::is_trivially_copyable_v<T>, "stream transfer needs plain elements");
    const uint32_t w = writer.Load(std::memory_order_acquire);
    const uint32_t r = reader.Load(std::memory_order_relaxed);
    if (g.Used(r, w) < n) return 0;
    const uint32_t at = BufferPointer::Index(r);
    const uint32_t first = std::min(n, g.capacity - at);
    out.write(reinterpret_cast<const char*>(storage + at),
              static_cast<std::streamsize>(first) * sizeof(T));
    if (n > first)
      out.write(reinterpret_cast<const char*>(storage),
                static_cast<std::streamsize>(n - first) * sizeof(T));
    if (!out.good()) return 0;
    reader.Store(g.Advance(r, n), std::memory_order_release);
    return n;
  }

  // Describes the oldest min(n, used) elements as one or two runs of the storage; returns the
  // number of runs (0 when the ring is empty). The elements stay in the ring.
  template <typename T>
  static uint32_t traits_segments(const BufferGeometry& g, const BufferPointer& reader,
                                  const BufferPointer& writer, T* storage, uint32_t n,
                                  ExtReaderData<T> runs[2]) {
    const uint32_t w = writer.Load(std::memory_order_acquire);
    const uint32_t r = reader.Load(std::memory_order_relaxed);
    const uint32_t k = std::min(n, g.Used(r, w));
    if (k == 0) return 0;
    const uint32_t at = BufferPointer::Index(r);
    const uint32_t first = std::min(k, g.capacity - at);
    runs[0] = ExtReaderData<T>{storage + at, first};
    if (k == first) return 1;
    runs[1] = ExtReaderData<T>{storage, k - first};
    return 2;
  }

 private:
  template <typename T>
  static uint32_t Peek(const BufferGeometry& g, uint32_t r, const BufferPointer& writer,
                       const T* storage, T* dest, uint32_t n, bool exact) {
    const uint32_t w = writer.Load(std::memory_order_acquire);
    const uint32_t used = g.Used(r, w);
    if (exact && used < n) return 0;
    const uint32_t k = std::min(n, used);
    ringdetail::CopyOut(g, storage, BufferPointer::Index(r), dest, k);
    return k;
  }
};

// The ring itself: storage, geometry and the two positions (each on its own cache line, so the
// producer and the consumer do not slow each other down). Capacity below 2^31 elements.
template <typename T>
class GenericRingBuffer {
 public:
  using Element = T;

  // A ring with its own storage of capacity default-constructed elements.
  explicit GenericRingBuffer(uint32_t capacity)
      : storage_(new T[capacity > 0 ? Checked(capacity) : 1]()),
        ownsStorage_(true),
        geometry_{static_cast<uint32_t>(sizeof(T)), capacity} {}
  // A ring over the caller's storage, which must outlive it.
  GenericRingBuffer(T* storage, uint32_t capacity)
      : storage_(storage), ownsStorage_(false), geometry_{sizeof(T), Checked(capacity)} {}
  ~GenericRingBuffer() {
    if (ownsStorage_) delete[] storage_;
  }
  GenericRingBuffer(const GenericRingBuffer&) = delete;
  GenericRingBuffer& operator=(const GenericRingBuffer&) = delete;

  // Producer side.
  bool Provide(const T* source, uint32_t n) {
    return GenericWriterTraits::traits_provide(geometry_, reader_, writer_, storage_, source, n);
  }
  bool Provide(const T& element) { return Provide(&element, 1); }
  uint32_t ProviderAppend(const T* source, uint32_t n, uint32_t offset) {
    return GenericWriterTraits::traits_provider_append(geometry_, reader_, writer_, storage_,
                                                       source, n, offset);
  }
  bool ProviderCommit(uint32_t n) {
    return GenericWriterTraits::traits_provider_commit(geometry_, reader_, writer_, n);
  }
  uint32_t Get(std::istream& in, uint32_t n) {
    return GenericWriterTraits::traits_get(geometry_, reader_, writer_, storage_, in, n);
  }

  // Consumer side.
  uint32_t Consume(T* dest, uint32_t n, bool exact) {
    return GenericReaderTraits::traits_consume(geometry_, reader_, writer_, storage_, dest, n,
                                               exact);
  }
  uint32_t ConsumeBegins(T* dest, uint32_t n, bool exact) const {
    return GenericReaderTraits::traits_consume_begins(geometry_, reader_, writer_, storage_, dest,
                                                      n, exact);
  }
  bool ConsumeCommit(uint32_t n) {
    return GenericReaderTraits::traits_consume_commit(geometry_, reader_, writer_, n);
  }
  uint32_t Put(std::ostream& out, uint32_t n) {
    return GenericReaderTraits::traits_put(geometry_, reader_, writer_, storage_, out, n);
  }
  uint32_t Segments(uint32_t n, ExtReaderData<T> runs[2]) {
    return GenericReaderTraits::traits_segments(geometry_, reader_, writer_, storage_, n, runs);
  }
  // The oldest element, left in place (it stays valid until the consumer takes it). Throws
  // GenericReaderTraits::BufferEmpty when there is none.
  T& Front() {
    const uint32_t w = writer_.Load(std::memory_order_acquire);
    const uint32_t r = reader_.Load(std::memory_order_relaxed);
    if (geometry_.Used(r, w) == 0) throw GenericReaderTraits::BufferEmpty();
    return storage_[BufferPointer::Index(r)];
  }
  // Takes the oldest element; throws BufferEmpty when there is none.
  T Take() {
    T element = Front();
    ConsumeCommit(1);
    return element;
  }

  // Delivery: the consumer hands the oldest elements, at most maxElements, as one or two runs of
  // the storage to the callback set with SetDelivery, which returns how many it consumed. The
  // reader advances by that count, never by more than was handed. Returns the callback's count
  // (0 without a callback or without elements).
  template <typename Receiver>
  void SetDelivery(Receiver* receiver,
                   uint32_t (Receiver::*method)(const ExtReaderData<T>*, unsigned int)) {
    delivery_ = [receiver, method](const ExtReaderData<T>* runs, unsigned int count) {
      return (receiver->*method)(runs, count);
    };
  }
  uint32_t Deliver(uint32_t maxElements) {
    ExtReaderData<T> runs[2];
    const uint32_t count = Segments(maxElements, runs);
    if (count == 0 || !delivery_) return 0;
    const uint32_t handed = runs[0].length + (count == 2 ? runs[1].length : 0);
    const uint32_t consumed = delivery_(runs, count);
    ConsumeCommit(std::min(consumed, handed));
    return consumed;
  }

  uint32_t Used() const { return geometry_.Used(reader_.Load(), writer_.Load()); }
  uint32_t Free() const { return geometry_.capacity - Used(); }
  bool Empty() const { return Used() == 0; }
  uint32_t Capacity() const { return geometry_.capacity; }
  const BufferGeometry& Geometry() const { return geometry_; }
  T* Storage() { return storage_; }
  const BufferPointer& ReaderPosition() const { return reader_; }
  const BufferPointer& WriterPosition() const { return writer_; }

 private:
  static uint32_t Checked(uint32_t capacity) {
    if (capacity > BufferPointer::kIndexMask)
      throw std::invalid_argument("ring capacity must stay below 2^31 elements");
    return capacity;
  }

  T* storage_;
  bool ownsStorage_;
  BufferGeometry geometry_;
  std::function<uint32_t(const ExtReaderData<T>*, unsigned int)> delivery_;
  alignas(64) BufferPointer reader_;
  alignas(64) BufferPointer writer_;
};

#pragma once

#include <endian.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "DOdudo/KLogDefs.h"
#include "DOdudo/LB9/Basics/KSerializable.h"

#define KLOG_DEFAULT_MAX_FILE_SIZE 104857600ULL
#define KLOG_DEFAULT_MAX_TOTAL_LOG_SIZE 10737418240ULL

// Decides which trace lines are written. Per source (0..28) it keeps the mask of active trace
// options, the mask of options never to be traced and an application override, plus the
// process-wide full-log switch and the two log size limits. A new filter lets every trace line
// through; LoadConfig reads klog.cfg (/etc/tolma//config/klog.cfg), and the log server may send
// a whole filter, which is why it has a byte encoding (Transfer).
//
// Threading: IsActive runs on every logging thread without a lock. The masks are relaxed atomics,
// so a concurrent reload or server copy may be seen half old, half new, never torn. LoadConfig
// and CopySettingsFrom are made by one thread at a time (manager creation, reload thread).
class DODUDO_API KLogFilter : public dodudo::KSerializable {
 public:
  using Callback = void (*)(bool remote);

  KLogFilter();
  ~KLogFilter() override;
  // Both directions, by the serializer's In(); see Transfer for the bytes.
  void Serialize(dodudo::KSerializer& serializer) override { Transfer(serializer); }
  KLogFilter(const KLogFilter&) = delete;
  KLogFilter& operator=(const KLogFilter&) = delete;

  static const char* GetConfigFileName();

  // Reads klog.cfg. Does nothing when a remote log host is configured. Throws KBaseException
  // ("Config file not found...") for a missing or unreadable file and then leaves the filter
  // unchanged; a missing section only sets that source to "never".
  void LoadConfig();
  void SetOption(KLogSource source, const char* const* names);
  bool IsActive(KLogLevel level, KLogSource source, unsigned int option) const;
  void InvokeFilterCallback(bool remote);

  // Every field but the callback, as when a filter arrives from the log server.
  void CopySettingsFrom(const KLogFilter& other);

  // Raises the size limits to at least these (a pushed filter may not make the logs rotate or be
  // deleted after a few lines).
  void RaiseSizeLimits(unsigned long long minFile, unsigned long long minTotal);
  void SetCallback(Callback callback) { callback_.store(callback); }
  void OverwriteOption(KLogSource source, unsigned int mask);
  void ReleaseOverwrittenOption(KLogSource source);
  unsigned int GetConfig(KLogSource source) const;  // source <= 29
  unsigned long long MaxLogFileSize() const { return maxLogFileSize_.load(kRelaxed); }
  unsigned long long MaxTotalLogSize() const { return maxTotalLogSize_.load(kRelaxed); }
  bool FullLog() const { return fullLog_.load(kRelaxed); }
  unsigned int Active(unsigned int source) const { return active_[source].load(kRelaxed); }
  unsigned int Never(unsigned int source) const { return never_[source].load(kRelaxed); }
  bool Overwritten(unsigned int source) const { return overwritten_[source].load(kRelaxed); }

  // The byte encoding, both directions: the source count (4 bytes, 29 when writing), then per
  // source active (4), overwritten (1), never (4), then fullLog (1), maxLogFileSize (8),
  // maxTotalLogSize (8); integers little-endian. Io provides In() and Serialize(void*, unsigned)
  // (which must throw when it runs out of bytes). A count above 29 has its surplus skipped, one
  // below 29 leaves the missing sources all-active.
  template <class Io>
  void Transfer(Io& io);

  // Encoding to and from a byte string (the same bytes as Transfer). FromBytes throws
  // std::out_of_range when the bytes end early; the filter may then be partly updated.
  std::string ToBytes();
  void FromBytes(const void* data, size_t size);

 private:
  static constexpr std::memory_order kRelaxed = std::memory_order_relaxed;
  static constexpr unsigned int kSources = klogMaxSources;

  std::atomic<Callback> callback_{nullptr};
  std::atomic<uint32_t> active_[kSources];
  std::atomic<uint32_t> never_[kSources];
  std::atomic<bool> overwritten_[kSources];
  std::atomic<uint32_t> saved_[kSources];
  std::atomic<bool> fullLog_{false};
  std::atomic<uint64_t> maxLogFileSize_{KLOG_DEFAULT_MAX_FILE_SIZE};
  std::atomic<uint64_t> maxTotalLogSize_{KLOG_DEFAULT_MAX_TOTAL_LOG_SIZE};
};

// Inline: Transfer is instantiated in the application's own code (Serialize above), which can only
// call what the library exports.
namespace klogdetail {
inline uint32_t ToLittle32(uint32_t value) { return htole32(value); }
inline uint64_t ToLittle64(uint64_t value) { return htole64(value); }
}  // namespace klogdetail

template <class Io>
void KLogFilter::Transfer(Io& io) {
  using klogdetail::ToLittle32;
  using klogdetail::ToLittle64;
  uint32_t count = ToLittle32(kSources);
  io.Serialize(&count, 4);
  count = ToLittle32(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t active = ToLittle32(i < kSources ? active_[i].load(kRelaxed) : 0);
    uint8_t overwritten = i < kSources && overwritten_[i].load(kRelaxed) ? 1 : 0;
    uint32_t never = ToLittle32(i < kSources ? never_[i].load(kRelaxed) : 0);
    io.Serialize(&active, 4);
    io.Serialize(&overwritten, 1);
    io.Serialize(&never, 4);
    if (io.In() && i < kSources) {
      active_[i].store(ToLittle32(active), kRelaxed);
      overwritten_[i].store(overwritten != 0, kRelaxed);
      never_[i].store(ToLittle32(never), kRelaxed);
    }
  }
  if (io.In()) {
    for (uint32_t i = count; i < kSources; ++i) {
      overwritten_[i].store(false, kRelaxed);
      never_[i].store(0, kRelaxed);
      active_[i].store(0xFFFFFFFFu, kRelaxed);
    }
  }
  uint8_t fullLog = fullLog_.load(kRelaxed) ? 1 : 0;
  uint64_t maxFile = ToLittle64(maxLogFileSize_.load(kRelaxed));
  uint64_t maxTotal = ToLittle64(maxTotalLogSize_.load(kRelaxed));
  io.Serialize(&fullLog, 1);
  io.Serialize(&maxFile, 8);
  io.Serialize(&maxTotal, 8);
  if (io.In()) {
    fullLog_.store(fullLog != 0, kRelaxed);
    maxLogFileSize_.store(ToLittle64(maxFile), kRelaxed);
    maxTotalLogSize_.store(ToLittle64(maxTotal), kRelaxed);
  }
}

#pragma once

#include <atomic>

#include "DOdudo/KLogMessage.h"
#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogWriter.h"

namespace dodudo {

class KRemoteLogClient;

// The writer of one log name under remote logging: it gathers the text of a line (Write) and
// hands it, as a KLogMessage with its name, to the client's queue when the line ends (Flush). It
// never touches the network and never blocks on it. Owned by the client, which outlives it.
//
// Threading: the logger front end holds GetMutex() around one line's Write and Flush; the pending
// text is guarded by that lock.
class DODUDO_API KRemoteLogWriter : public KLogWriter {
 public:
  KRemoteLogWriter(const kstring& name, KRemoteLogClient* client);
  ~KRemoteLogWriter() override;  // queues what is still pending

  pthread_mutex_t* GetMutex() override { return lock_.GetMutex(); }
  void CheckDay(unsigned int day) override;  // a remote log has no daily files
  void Write(const char* format, va_list args) override;
  // Queues the pending line; lazy lines wait for the next prompt one or the next second.
  void Flush(bool lazy) override;
  kstring Name() override;
  // True once a line has been queued (the writer is "open" for checkpoints).
  bool HasWritten() const { return written_.load(std::memory_order_relaxed); }

  // The longest text a record carries: the peer refuses longer strings, so the client sends a
  // longer line as consecutive records of at most this many characters.
  static constexpr unsigned int kMaxText = KMAX_STRING_SIZE - 1;

 private:
  KRemoteLogClient* client_;
  KThreadMutex lock_;
  KLogMessage pending_;
  std::atomic<bool> written_{false};
};

}  // namespace dodudo

#pragma once

#include <atomic>
#include <cstdint>

#include "DOdudo/LB9/Basics/KSocketAddress.h"
#include "DOdudo/LB9/Basics/KSocketException.h"
#include "DOdudo/LB9/Basics/KSocketPoll.h"
#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KMutex.h"
#include "DOdudo/host/KString.h"
#include "DOdudo/host/NonCopyable.h"

namespace dodudo {

// Where a platform's socket library would be started; nothing is needed on Linux.
class DODUDO_API KSocketInitializer {
 public:
  KSocketInitializer() {}
};

// One TCP socket: the descriptor, the blocking and asynchronous modes, one poll set per direction
// and a self-pipe through which a third thread can wake any thread waiting on the socket.
//
// Threading: one reader thread and one writer thread at a time (callers that share the socket
// hold GetReadMutex() / GetWriteMutex() around whole objects). SignalFinalization() may be called
// from any thread at any time: it wakes every waiter and disables the socket, so that every later
// operation fails with a KSocketException. The descriptor number itself stays allocated until the
// object is destroyed, so that a thread still inside a call can never reach an unrelated file
// that reused the number. Destroy the socket only once no thread uses it any more. In a forked
// child, a socket object inherited from the parent is only disabled and closed there, never shut
// down or signalled: the connection and the self-pipe are shared, and either would end the
// parent's use of the socket.
//
// Failures are KSocketException (KSocketClosedException once the peer has closed the stream);
// texts name the descriptor as eight hex digits and the raising module and line. Every descriptor
// is close-on-exec and no send raises SIGPIPE.
class DODUDO_API KTcpSocket : private KSocketInitializer, public NonCopyable {
 public:
  static constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

  KTcpSocket();
  virtual ~KTcpSocket();

  virtual unsigned int Write(void* data, unsigned int size) = 0;
  virtual unsigned int Read(void* data, unsigned int size) = 0;
  virtual KMutex* GetReadMutex() = 0;
  virtual KMutex* GetWriteMutex() = 0;

  // Non-blocking mode: reads wait 0 ms. No effect without a descriptor.
  void SetAsync();
  // Reads and writes use non-blocking calls without waiting first. No effect without a descriptor.
  void SetAllAsync();
  // IP type of service 0xB8; the arguments do not change the value. The setsockopt result.
  int SetTOS(kstring address, unsigned short port);
  int SetSOReuseAddr();
  void SetSOBuf() {}
  int BindToDevice(kstring name);
  void Bind(unsigned short port, KAddressFamily family);
  void Bind(kstring host, unsigned short port);

  // false without a descriptor, when TCP_INFO cannot be read or the TCP state is CLOSE.
  bool IsConnected();
  // true when data (or the end of the stream) is there within ms; false without a descriptor.
  bool WaitForData(unsigned int ms);
  // Waits up to ms (kWaitForever: without limit) until the socket is readable (write false) or
  // writable; true when ready. A wake-up through SignalFinalization also reports ready: the
  // caller's next operation then fails on the disabled socket.
  bool SafeSelect(bool write, unsigned int ms);
  // Lets WakeReader() end a wait for data without disabling the socket. Call it before the
  // socket is shared between threads; it costs one more descriptor.
  void EnableReaderWake();
  // Ends the current or the next WaitForDataUnlessWoken, which then returns false; every other
  // wait goes on. Safe from any thread; without EnableReaderWake it does nothing.
  void WakeReader();
  // WaitForData that also returns false once WakeReader has been called.
  bool WaitForDataUnlessWoken(unsigned int ms);
  // The last WaitForDataUnlessWoken returned false because of WakeReader (for its thread).
  bool WasWoken() const { return woken_; }
  // One receive: the count received, 0 when nothing arrived within the read wait time.
  unsigned int RawRead(void* data, unsigned int size);
  // What is there, at least one byte and at most size: taken at once when the socket holds some,
  // otherwise after waiting as Read does (the read wait time and deadline, ETIMEDOUT when they
  // run out). Throws as Read does.
  unsigned int ReadSome(void* data, unsigned int size);
  // One send: the count sent (possibly less than size).
  unsigned int RawWrite(void* data, unsigned int size);

  void GetRemoteAddress(kstring& host, unsigned short& port);
  void GetLocalAddress(kstring& host, unsigned short& port);

  void InitializeSignalFd();
  // Wakes every thread waiting on the socket and disables it; safe from any thread.
  void SignalFinalization();
  // Disables the socket and wakes its waiters; the descriptors are released on destruction.
  void FinalizeSignalFd();
  void InitializeSockPoll();

  // How long a read waits for data, in ms (kWaitForever: without limit, the default).
  void SetReadWaitTime(uint32_t ms) { readWaitTime_ = ms; }
  uint32_t GetReadWaitTime() const { return readWaitTime_; }
  // One deadline, ms from now, over every wait for data until it is cleared (kWaitForever): a
  // peer that sends a frame byte by byte cannot stretch a bounded exchange. Reads that find the
  // deadline passed fail with ETIMEDOUT once nothing is there.
  void SetReadDeadline(uint32_t msFromNow);
  // How long a blocking write may wait for the peer to take data (kWaitForever: without limit,
  // the default). A write that cannot finish in time shuts the socket down (part of a frame may
  // be out, so the stream is lost) and fails with ETIMEDOUT.
  void SetWriteWaitTime(uint32_t ms) { writeWaitTime_ = ms; }
  uint32_t GetWriteWaitTime() const { return writeWaitTime_; }
  // The TCP_NODELAY value used for peers other than 127.0.0.1.
  void SetNoDelayValue(uint32_t value) { noDelay_ = value; }
  bool IsAsync() const { return async_; }
  bool IsAllAsync() const { return allAsync_; }
  bool IsClosed() const { return closed_; }
  // The descriptor, or -1 when there is none or the socket has been disabled.
  int GetHandle() const { return disabled_ ? -1 : fd_.load(); }

 protected:
  // Releases the socket descriptor (owner thread only, while no other thread uses the socket).
  void CloseDescriptor();
  // ms, clamped to what is left before the read deadline.
  uint32_t ClampToReadDeadline(uint32_t ms) const;
  bool ReadsBounded() const { return readWaitTime_ != kWaitForever || deadlineSet_; }
  // SafeSelect; wakeable: a WakeReader call ends the wait (false) instead of being skipped.
  bool Select(bool write, unsigned int ms, bool wakeable);
  // Throws "Socket error: Socket=%08X - <errno text> (module:line)".
  [[noreturn]] void ThrowError(const char* module, int line) const;

  std::atomic<uint32_t> readWaitTime_;
  std::atomic<uint32_t> writeWaitTime_;
  std::atomic<bool> deadlineSet_;
  std::atomic<uint32_t> deadline_;  // KHostSystem::GetTick() value
  std::atomic<uint32_t> noDelay_;
  std::atomic<bool> async_;
  std::atomic<bool> allAsync_;
  std::atomic<bool> closed_;
  KSocketPoll* readPoll_;
  KSocketPoll* writePoll_;
  bool readPollReady_;
  bool writePollReady_;
  int32_t readPipeIndex_;
  int32_t writePipeIndex_;
  int32_t wakeFd_;          // eventfd of WakeReader, -1 until EnableReaderWake
  int32_t readWakeIndex_;
  bool woken_;
  int32_t signalRead_;
  int32_t signalWrite_;
  std::atomic<int32_t> fd_;
  std::atomic<bool> disabled_;
  // The fork generation of the process that made the socket object (KAtFork::Generation).
  unsigned long generation_;
};

}  // namespace dodudo

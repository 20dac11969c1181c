#pragma once

#include <cstdint>

#include "DOdudo/LB9/Basics/KBaseSocket.h"
#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"
#include "DOdudo/host/KThreadMutex.h"

namespace dodudo {

// The connecting side of a TCP stream over IPv4 or IPv6: Open() creates the socket, connects it
// and sets TCP_NODELAY (always on towards 127.0.0.1), or Assign() adopts an accepted descriptor.
// One read and one write mutex (both recursive) for callers that share the socket between
// threads. Threading as KTcpSocket; the destructor wakes any thread still blocked on the socket,
// but the owner must not destroy it before such threads have left.
class DODUDO_API KClientSocket : public KTcpSocket {
 public:
  KClientSocket();
  ~KClientSocket() override;

  void SetRemoteAddress(const char* host, unsigned short port);
  // Takes over a connected descriptor (the object then owns it); the port is left as it was.
  void Assign(int fd, const kstring& host);
  // A stream socket of the remote host's family; an existing descriptor is kept.
  void CreateSocket();
  // In async mode a connection still in progress counts as started. Otherwise it waits at most
  // the connect wait time (ETIMEDOUT after it) and ends at once when SignalFinalization() is
  // called from another thread. Any failure closes the descriptor.
  void Connect();
  // How long a blocking Connect may wait for the peer, in ms (kWaitForever: as long as the
  // kernel retries, about two minutes for a host that drops the connection request).
  void SetConnectWaitTime(uint32_t ms) { connectWaitTime_ = ms; }
  void SetNoDelay();
  void Open();
  void Open(const char* host, unsigned short port);

  // Sends all of data (in async mode: one attempt), within the write wait time when one is set.
  // Returns the last send's count.
  unsigned int Write(void* data, unsigned int size) override;
  unsigned int Write(const kstring& text);
  // Reads exactly size bytes (in async mode: one attempt, whose count is returned). A stream that
  // stops mid-way for longer than the read wait time throws KSocketException.
  unsigned int Read(void* data, unsigned int size) override;
  // Whatever is there now, in 2048-byte blocks; the count of the last block.
  unsigned int Read(kstring& text);
  KMutex* GetReadMutex() override { return &readMutex_; }
  KMutex* GetWriteMutex() override { return &writeMutex_; }

  const kstring& GetRemoteHost() const { return remoteHost_; }
  unsigned short GetRemotePort() const { return remotePort_; }
  bool IsAssigned() const { return assigned_; }

 private:
  unsigned int BoundedWrite(unsigned char* bytes, unsigned int size);
  void BoundedConnect(const sockaddr_storage& address);
  // Closes the descriptor after a failed call and throws the socket error for it and errno.
  [[noreturn]] void CloseAndThrow(int line);

  kstring remoteHost_;
  uint16_t remotePort_;
  uint32_t connectWaitTime_;
  KThreadMutex writeMutex_;
  KThreadMutex readMutex_;
  bool assigned_;
};

}  // namespace dodudo

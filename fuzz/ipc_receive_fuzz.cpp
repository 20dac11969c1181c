// Arbitrary bytes arriving on a socket receiver. The first byte picks the received type (a
// string, a buffer holder or a log filter); the rest is what the peer sends before it closes.
// Every outcome must be a whole object or an exception; the receiver never reads past a frame,
// never hangs and never allocates by a length it was sent.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <type_traits>

#include "DOdudo/KLogFilter.h"
#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"
#include "DOdudo/host/KString.h"

namespace {

// Frames on the wire for one input: the peer's bytes, then the end of the stream.
bool Deliver(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return ::shutdown(fd, SHUT_WR) == 0;
}

template <typename T>
void ReceiveAll(dodudo::KSocketReceiver& receiver) {
  for (int frames = 0; frames < 10000; ++frames) {
    T object;
    try {
      if (!receiver.Receive(object)) abort();  // a blocking receiver only ends by an exception
    } catch (const dodudo::KSocketClosedException&) {
      return;
    } catch (const dodudo::KSocketException& e) {
      // An oversized count gives the stream up; an overrun has skipped its frame.
      if (std::strstr(e.what(), "out of step") != nullptr ||
          std::strstr(e.what(), "exceeds the limit") != nullptr)
        return;
      continue;
    } catch (const std::exception&) {
      continue;  // the object refused its bytes; the rest of its frame has been skipped
    }
    if constexpr (std::is_same_v<T, dodudo::kstring>) {
      if (object.size() >= dodudo::KMAX_STRING_SIZE) abort();
    } else if constexpr (std::is_same_v<T, dodudo::KBufferHolder>) {
      if (object.Size() > dodudo::KMAX_BUFFER_SIZE) abort();
    }
  }
  abort();  // more frames than the input could hold
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 60000) return 0;
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) abort();
  const int buffer = 256 * 1024;
  setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  setsockopt(ends[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  if (!Deliver(ends[1], data + 1, size - 1)) abort();
  dodudo::KClientSocket socket;
  socket.Assign(ends[0], "fuzz");
  dodudo::KSocketReceiver receiver(&socket);
  receiver.SetMaxFrameSize(64 * 1024);
  switch (data[0] % 3) {
    case 0:
      ReceiveAll<dodudo::kstring>(receiver);
      break;
    case 1:
      ReceiveAll<dodudo::KBufferHolder>(receiver);
      break;
    default:
      ReceiveAll<KLogFilter>(receiver);
      break;
  }
  ::close(ends[1]);
  return 0;
}

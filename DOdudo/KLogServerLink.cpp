#include "DOdudo/KLogServerLink.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "DOdudo/KLogMessage.h"
#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"

namespace {

// Appends the bytes of a record to a string (the serialiser of a batch of frames).
class StringSerializer : public dodudo::KOutSerializer {
 public:
  explicit StringSerializer(std::string& out) : out_(out) {}
  void Serialize(void* data, unsigned int size) override {
    out_.append(static_cast<const char*>(data), size);
  }

 private:
  std::string& out_;
};

}  // namespace

void KLogServerLink::AppendFrame(std::string& out, dodudo::KSerializable& record) {
  uint32_t count = dodudo::KSerialSizeCalculator::Measure(record);
  StringSerializer writer(out);
  writer& count;
  record.Serialize(writer);
}

struct KLogServerLink::Impl {
  std::unique_ptr<dodudo::KSocketIpcChannel> channel;
};

KLogServerLink::KLogServerLink(const std::string& host, uint16_t port) : impl_(new Impl) {
  impl_->channel.reset(new dodudo::KSocketIpcChannel(host.c_str(), port));
  // A reload record is small: a larger count is a broken or hostile peer.
  if (auto* receiver = dynamic_cast<dodudo::KSocketReceiver*>(impl_->channel->GetReceiver()))
    receiver->SetMaxFrameSize(kMaxReloadRecord);
}

KLogServerLink::~KLogServerLink() = default;

bool KLogServerLink::Receive(dodudo::KReloadMessage& message) {
  try {
    return impl_->channel->Receive(message);
  } catch (const dodudo::KSocketException& e) {
    throw Closed(e.what());
  }
}

void KLogServerLink::Send(dodudo::KSerializable& record) {
  if (!impl_->channel->Send(record)) throw std::runtime_error("log server channel terminated");
}

void KLogServerLink::SendBytes(const std::string& frames) {
  dodudo::KTcpSocket* socket = impl_->channel->GetSocket();
  // A peer that has gone (its end of the stream arrived, or the link was shut) takes no more
  // records: a send would still succeed once into the dead connection and lose them.
  tcp_info info{};
  socklen_t length = sizeof info;
  int fd = socket->GetHandle();
  if (fd < 0 || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
      info.tcpi_state != TCP_ESTABLISHED) {
    throw Closed("Log server connection closed");
  }
  dodudo::KMutex* lock = socket->GetWriteMutex();
  if (lock != nullptr) lock->Lock();
  try {
    socket->Write(const_cast<char*>(frames.data()), static_cast<unsigned int>(frames.size()));
  } catch (...) {
    if (lock != nullptr) lock->Unlock();
    throw;
  }
  if (lock != nullptr) lock->Unlock();
}

void KLogServerLink::Terminate() { impl_->channel->Terminate(); }

void KLogServerLink::Shutdown() {
  impl_->channel->Terminate();
  impl_->channel->GetSocket()->SignalFinalization();
}

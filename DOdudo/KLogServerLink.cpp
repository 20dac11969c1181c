#include "DOdudo/KLogServerLink.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "DOdudo/KLogMessage.h"
#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"

void KLogServerLink::AppendFrame(std::string& out, dodudo::KSerializable& record) {
  dodudo::KStringSerializer::AppendFrame(out, record);
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

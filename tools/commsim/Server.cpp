#include "tools/commsim/Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"
#include "DOdudo/comm/KCommChannel.h"
#include "DOdudo/comm/KCommMessages.h"

namespace commsim {

using comm::KEnvelope;
using dodudo::kstring;

namespace {

// Writes a payload's bytes as they are: an echo returns exactly what it got.
class RawBytes : public dodudo::KSerializable {
 public:
  explicit RawBytes(const dodudo::KBufferHolder& holder) : holder_(holder) {}
  void Serialize(dodudo::KSerializer& serializer) override {
    serializer.Write(const_cast<unsigned char*>(holder_.Data()), holder_.Size());
  }

 private:
  const dodudo::KBufferHolder& holder_;
};

// 32 bytes of event payload.
class EventBody : public dodudo::KSerializable {
 public:
  void Serialize(dodudo::KSerializer& serializer) override {
    serializer.Write(bytes_, sizeof bytes_);
  }

 private:
  unsigned char bytes_[32] = {};
};

void Sleep(unsigned int ms) {
  if (ms != 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

// One connected client, served on a thread of its own. Close() may be called from any thread;
// the destructor joins the thread.
class Session {
 public:
  Session(Server& server, dodudo::KIpcChannel* ipc)
      : options_(server.GetOptions()),
        logger_(klogNetwork, klogNetworkServer, "COMMSIM", "commsim", KLogger::KLOG_SHOW_NAME,
                false),
        channel_(logger_) {
    channel_.SetConnection(ipc);
    thread_ = std::thread([this] { Run(); });
  }
  ~Session() {
    Close();
    if (thread_.joinable()) thread_.join();
  }

  void Close() { channel_.ClearConnection(); }
  bool Done() const { return done_; }

  void Push(uint16_t code, int32_t g, int32_t i) {
    if (!broadcasts_) return;
    try {
      EventBody body;
      KEnvelope event(SIM_MODULE, code, g, i, body);
      channel_.Send(event);
    } catch (const std::exception& e) {
      logger_.Notice("Event not pushed [%s]", e.what());
    }
  }

 private:
  void Run() {
    try {
      if (Greet()) {
        Serve();
      } else {
        // No valid greeting: keep the connection open until the client gives up on it.
        KEnvelope ignored;
        while (Next(ignored)) {
        }
      }
    } catch (const std::exception& e) {
      logger_.Notice("Session ended [%s]", e.what());
    }
    channel_.SignTermination();
    channel_.ClearConnection();
    done_ = true;
  }

  // false when the session must only wait for the client to give up.
  bool Greet() {
    if (options_.silent) return false;
    if (options_.helloCode != comm::COMM_HELLOV2) {
      comm::KHelloMsg hello = options_.hello;
      KEnvelope greeting(comm::COMM_MODULE, options_.helloCode, -1, -1, hello);
      channel_.Send(greeting);
      return false;
    }
    comm::KHelloMsg hello = options_.hello;
    kstring id;
    channel_.HandShake(hello, id);
    std::printf("connected %s\n", id.c_str());
    std::fflush(stdout);
    return true;
  }

  bool Next(KEnvelope& envelope) {
    if (!options_.ignoreKeepAlives) return channel_.Receive(envelope);
    // Below the channel's dispatcher, which would answer keep-alives itself.
    dodudo::KIpcChannel* ipc = channel_.GetConnection();
    for (;;) {
      if (ipc == nullptr || !ipc->Receive(envelope)) return false;
      if (envelope.GetModule() != comm::COMM_MODULE || envelope.GetCode() != comm::COMM_KEEP_ALIVE)
        return true;
      logger_.Notice("Keep-alive %d left unanswered", envelope.GetPacketId());
    }
  }

  void Serve() {
    unsigned int count = 0;
    KEnvelope envelope;
    while (Next(envelope)) {
      ++count;
      if (!Handle(envelope)) break;
      if (options_.dropAfter != 0 && count >= options_.dropAfter) {
        logger_.Notice("Dropping the connection after %u envelopes", count);
        break;
      }
    }
  }

  // false: close the connection.
  bool Handle(KEnvelope& request) {
    if (request.GetModule() == comm::COMM_MODULE) {
      if (request.GetCode() == comm::COMM_REQ_BROADCASTS) {
        dodudo::KPlainData<bool> wanted;
        request.GetPayload(wanted);
        broadcasts_ = wanted.value;
      } else if (request.GetCode() == comm::COMM_QUERY) {
        kstring question;
        request.GetPayload(question);
        kstring answer = "re: " + question;
        if (Replying()) channel_.SyncResponse(request, 0, answer);
      }
      return true;
    }
    if (request.GetModule() != SIM_MODULE) {
      if (Replying())
        channel_.SyncFailResponse(request,
                                  dodudo::fstring("unknown module %d", request.GetModule()), 1);
      return true;
    }
    switch (request.GetCode()) {
      case SIM_ECHO: {
        RawBytes same(request.Payload());
        if (Replying()) channel_.SyncResponse(request, request.GetG(), same);
        return true;
      }
      case SIM_FAIL:
        if (Replying()) channel_.SyncFailResponse(request, "simulated failure", 42);
        return true;
      case SIM_PUSH: {
        dodudo::KEmptyData empty;
        if (Replying()) channel_.SyncResponse(request, 0, empty);
        for (int32_t n = 0; n < request.GetG(); ++n) Push(SIM_EVENT, n, request.GetG());
        return true;
      }
      case SIM_SLEEP: {
        Sleep(static_cast<unsigned int>(request.GetG()));
        dodudo::KEmptyData empty;
        if (Replying()) channel_.SyncResponse(request, 0, empty);
        return true;
      }
      case SIM_DROP:
        logger_.Notice("Dropping the connection on request");
        return false;
      default:
        if (Replying())
          channel_.SyncFailResponse(request,
                                    dodudo::fstring("unknown command %d", request.GetCode()), 1);
        return true;
    }
  }

  bool Replying() {
    if (options_.noReplies) return false;
    Sleep(options_.delayMs);
    return true;
  }

  const Options& options_;
  KLogger logger_;
  comm::KCommChannel channel_;
  std::atomic<bool> broadcasts_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

Server::Server(const Options& options)
    : options_(options),
      logger_(klogNetwork, klogNetworkServer, "COMMSIM", "commsim", KLogger::KLOG_SHOW_NAME,
              false) {}

Server::~Server() {
  Stop();
  if (ticker_.joinable()) ticker_.join();
  Reap(true);
  if (listenFd_ >= 0) close(listenFd_);
  for (int fd : wakePipe_)
    if (fd >= 0) close(fd);
}

bool Server::Listen() {
  if (pipe2(wakePipe_, O_CLOEXEC) != 0) {
    std::perror("commsim: pipe");
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(options_.port));
  if (inet_pton(AF_INET, options_.host.c_str(), &address.sin_addr) != 1) {
    std::fprintf(stderr, "commsim: not an IPv4 address: %s\n", options_.host.c_str());
    return false;
  }
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  if (listenFd_ < 0 || setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 16) != 0) {
    std::fprintf(stderr, "commsim: cannot listen on %s:%u: %s\n", options_.host.c_str(),
                 options_.port, std::strerror(errno));
    return false;
  }
  socklen_t length = sizeof address;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  return true;
}

void Server::Run() {
  if (options_.tickMs != 0)
    ticker_ = std::thread([this] {
      for (int32_t n = 0; !stopping_; ++n) {
        Sleep(options_.tickMs);
        Broadcast(SIM_TICK, n, 0);
      }
    });
  while (!stopping_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) Accept();
    Reap(false);
  }
}

void Server::Stop() {
  stopping_ = true;
  if (wakePipe_[1] >= 0) {
    char byte = 0;
    ssize_t written = write(wakePipe_[1], &byte, 1);
    (void)written;
  }
}

void Server::Accept() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (fd < 0) return;
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
  try {
    auto* socket = new dodudo::KClientSocket();
    socket->Assign(fd, host);
    auto session = std::make_shared<Session>(*this, new dodudo::KSocketIpcChannel(socket));
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    sessions_.push_back(session);
  } catch (const std::exception& e) {
    logger_.Warning("Client from %s not served [%s]", host, e.what());
  }
}

void Server::Reap(bool all) {
  std::list<std::shared_ptr<Session>> finished;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (all || (*it)->Done()) {
        finished.push_back(*it);
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Destroyed outside the lock: a session's destructor joins its thread.
  finished.clear();
}

void Server::Broadcast(uint16_t code, int32_t g, int32_t i) {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  for (auto& session : sessions_) session->Push(code, g, i);
}

}  // namespace commsim

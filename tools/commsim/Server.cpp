#include "tools/commsim/Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <cstring>

#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"
#include "DOdudo/comm/KCommChannel.h"
#include "DOdudo/comm/KCommChannelKeepAlive.h"
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

// One connected client, served on a thread of its own; a second thread pushes its events, so
// that a client that stops reading blocks only its own pushes (and its writes end after the idle
// time, which ends the session). Close() may be called from any thread; the destructor joins
// both threads. The IPC channel is destroyed only by the destructor, after both have left.
class Session {
 public:
  Session(Server& server, dodudo::KIpcChannel* ipc)
      : options_(server.GetOptions()),
        logger_(klogNetwork, klogNetworkServer, "COMMSIM", "commsim", KLogger::KLOG_SHOW_NAME,
                false),
        channel_(logger_) {
    // The handshake, or without one the wait for the client to give up, within the idle time.
    channel_.SetConnection(ipc, options_.idleMs);
    thread_ = std::thread([this] { Run(); });
    try {
      pusher_ = std::thread([this] { PushEvents(); });
    } catch (...) {
      // Out of threads: the session is refused, and a std::thread must never be left joinable.
      Close();
      thread_.join();
      channel_.ClearConnection();
      throw;
    }
  }
  ~Session() {
    Close();
    if (thread_.joinable()) thread_.join();
    if (pusher_.joinable()) pusher_.join();
    channel_.ClearConnection();
  }

  void Close() {
    {
      std::lock_guard<std::mutex> lock(pushMutex_);
      closing_ = true;
    }
    pushReady_.notify_all();
    if (dodudo::KIpcChannel* ipc = channel_.GetConnection()) ipc->Terminate();
  }
  bool Done() const { return done_; }

  // Queues an event for the pusher; a client too far behind loses it.
  void Push(uint16_t code, int32_t g, int32_t i) {
    if (!broadcasts_) return;
    {
      std::lock_guard<std::mutex> lock(pushMutex_);
      if (pending_.size() >= kMaxPending) {
        if (dropped_++ == 0) logger_.Notice("Client too slow, events dropped");
        return;
      }
      pending_.push_back({code, g, i});
    }
    pushReady_.notify_one();
  }

 private:
  struct Pending {
    uint16_t code;
    int32_t g;
    int32_t i;
  };
  static constexpr size_t kMaxPending = 100000;

  void PushEvents() {
    for (;;) {
      Pending next;
      {
        std::unique_lock<std::mutex> lock(pushMutex_);
        pushReady_.wait(lock, [this] { return closing_ || !pending_.empty(); });
        if (closing_) return;
        next = pending_.front();
        pending_.pop_front();
      }
      try {
        EventBody body;
        KEnvelope event(SIM_MODULE, next.code, next.g, next.i, body);
        channel_.Send(event);
      } catch (const std::exception& e) {
        logger_.Notice("Event not pushed [%s]", e.what());
      }
    }
  }

  void Run() {
    try {
      if (Greet()) {
        // A client that says nothing for the idle time is probed; no answer ends the session.
        comm::KCommChannelKeepAlive probe(channel_, !options_.ignoreKeepAlives, options_.idleMs,
                                          std::max(100u, options_.idleMs / 4));
        Serve();
      } else {
        // No valid greeting: keep the connection open until the client gives up on it (or the
        // idle time has passed).
        KEnvelope ignored;
        while (Next(ignored)) {
        }
      }
    } catch (const std::exception& e) {
      logger_.Notice("Session ended [%s]", e.what());
    }
    channel_.SignTermination();
    Close();
    done_ = true;
  }

  // false when the session must only wait for the client to give up.
  bool Greet() {
    if (options_.silent) return false;
    if (options_.helloCode != comm::COMM_HELLOV2) {
      comm::KHelloMsg hello = options_.hello;
      KEnvelope greeting(comm::COMM_MODULE, options_.helloCode, -1, -1, hello);
      channel_.SendHandshake(greeting);
      return false;
    }
    comm::KHelloMsg hello = options_.hello;
    kstring id;
    channel_.HandShake(hello, id);
    channel_.Open();
    std::printf("connected %s\n", id.c_str());
    std::fflush(stdout);
    return true;
  }

  bool Next(KEnvelope& envelope) {
    if (!options_.ignoreKeepAlives) return channel_.Receive(envelope);
    // Below the channel's dispatcher, which would answer keep-alives itself. Only the destructor
    // destroys the IPC channel, after this thread has left.
    auto* ipc = dynamic_cast<dodudo::KSocketIpcChannel*>(channel_.GetConnection());
    for (;;) {
      if (ipc == nullptr) return false;
      // Nobody probes here: a client silent for the idle time is gone.
      ipc->GetSocket()->SetReadDeadline(options_.idleMs);
      // Flags not on the wire must not survive from the last envelope: a request taken for
      // answered already would never be answered.
      envelope.SetAnswered(false);
      envelope.SetSync(false);
      try {
        if (!ipc->Receive(envelope)) return false;
      } catch (const std::exception& e) {
        logger_.Notice("Session ended [%s]", e.what());
        return false;
      }
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
  std::mutex pushMutex_;
  std::condition_variable pushReady_;
  std::deque<Pending> pending_;  // guarded by pushMutex_
  bool closing_ = false;         // guarded by pushMutex_
  unsigned int dropped_ = 0;     // guarded by pushMutex_
  std::thread thread_;
  std::thread pusher_;
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
    // Out of descriptors, the pending connection stays readable: listening to it now would spin.
    // Wait a second (finished sessions are reaped meanwhile) and try again.
    pollfd fds[2] = {{wakePipe_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    const nfds_t count = acceptFull_ ? 1 : 2;
    acceptFull_ = false;
    if (poll(fds, count, 1000) < 0 && errno != EINTR) break;
    if (count == 2 && (fds[1].revents & POLLIN)) Accept();
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
  if (fd < 0) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      acceptFull_ = true;
      logger_.Notice("Accepting paused for a second [%s]", std::strerror(errno));
    }
    return;
  }
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
  try {
    auto socket = std::make_unique<dodudo::KClientSocket>();
    socket->Assign(fd, host);
    socket->SetWriteWaitTime(options_.idleMs);
    auto ipc = std::make_unique<dodudo::KSocketIpcChannel>(socket.get());
    socket.release();  // the IPC channel owns it now
    auto session = std::make_shared<Session>(*this, ipc.release());
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
  // Push only queues: no client's socket is written under the sessions lock.
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  for (auto& session : sessions_) session->Push(code, g, i);
}

}  // namespace commsim

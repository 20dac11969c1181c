#include "tools/snllogd/LogServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "DOdudo/KFileLogWriter.h"
#include "DOdudo/KLogFilter.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/LB9/Basics/KBuffer.h"

namespace snllogd {

namespace {

constexpr int64_t kPushIntervalMs = 1000;  // at most one push of a kind a second
constexpr int64_t kPushSettleMs = 100;     // a burst has ended after this long without requests
constexpr int64_t kWriterIdleMs = 60000;
constexpr int kAcceptsPerPass = 64;
constexpr size_t kWriteBatch = 256 * 1024;
// The longest line taken from consecutive records of one writer before it is written in pieces.
constexpr size_t kMaxLine = 64 * 1024;
constexpr int64_t kWriteDelayMs = 50;  // the longest a line read waits to be written
// Descriptors kept free of clients and log files: standard streams, listener, wake pipe, the log
// directory, syslog or journal socket, and the library's own files.
constexpr rlim_t kReservedDescriptors = 32;

int64_t NowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

unsigned Today() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  return static_cast<unsigned>(local.tm_mday);
}

// The frame of one record: its byte count (32-bit little-endian), then the record.
std::string Frame(dodudo::KSerializable& record) {
  std::string frame;
  dodudo::KStringSerializer::AppendFrame(frame, record);
  return frame;
}

uint32_t Little32(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

std::string Errno(const char* what) { return std::string(what) + ": " + strerror(errno); }

Forwarder::Target TargetOf(const Options& options) {
  if (options.journal) return Forwarder::Target::kJournal;
  return options.syslog ? Forwarder::Target::kSyslog : Forwarder::Target::kNone;
}

}  // namespace

// Clients and log files share the process's descriptors: the limit is raised as far as allowed,
// and the two bounds are lowered to fit in it, so that neither can starve the other.
static Options FitDescriptors(Options options) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return options;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  rlim_t usable = limit.rlim_cur > kReservedDescriptors + 4 ? limit.rlim_cur - kReservedDescriptors
                                                             : 4;
  unsigned files = options.maxFiles, clients = options.maxClients;
  if (2 * static_cast<rlim_t>(files) + clients <= usable) return options;
  options.maxFiles = static_cast<unsigned>(std::max<rlim_t>(1, std::min<rlim_t>(files, usable / 4)));
  options.maxClients = static_cast<unsigned>(
      std::max<rlim_t>(1, std::min<rlim_t>(clients, usable - 2 * options.maxFiles)));
  fprintf(stderr,
          "snllogd: %llu descriptors allowed: serving at most %u connections and %u open log "
          "files\n",
          static_cast<unsigned long long>(limit.rlim_cur), options.maxClients, options.maxFiles);
  return options;
}

LogServer::LogServer(const Options& options)
    : options_(FitDescriptors(options)),
      writers_(options_.maxFiles, kWriterIdleMs),
      forwarder_(TargetOf(options)) {}

LogServer::~LogServer() {
  for (Client& client : clients_) close(client.fd);
  if (listenFd_ >= 0) close(listenFd_);
}

void LogServer::Open() {
  // Fixed now, while descriptors are plentiful: the library ends the process when it cannot open
  // the log directory, which must never happen at a client's first line.
  KLogger::GetLogDirectory();
  sockaddr_storage address{};
  socklen_t length;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, options_.listen.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(options_.port);
    length = sizeof *v4;
  } else if (inet_pton(AF_INET6, options_.listen.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(options_.port);
    length = sizeof *v6;
  } else {
    throw std::runtime_error("not an IP address: " + options_.listen);
  }
  listenFd_ = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) throw std::runtime_error(Errno("socket"));
  int on = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0)
    throw std::runtime_error(Errno("bind"));
  if (listen(listenFd_, 1024) != 0) throw std::runtime_error(Errno("listen"));
  now_ = lastSecond_ = NowMs();
  today_ = Today();
  pushedFilter_ = LoadFilter();
  dodudo::KReloadMessage order(dodudo::KReloadMessage::kReloadConfigs);
  orderFrame_ = Frame(order);
  configStamp_.clear();
  ConfigChanged();  // remember the file as loaded
}

void LogServer::Run(volatile int& stop, volatile int& reload, int wakeFd) {
  while (!stop) Pass(reload, wakeFd);
  Drain();
}

void LogServer::Pass(volatile int& reload, int wakeFd) {
  std::vector<pollfd>& fds = fds_;
  fds.clear();
  bool accepting = clients_.size() < options_.maxClients && now_ >= acceptPausedUntil_;
  fds.push_back({wakeFd, POLLIN, 0});
  fds.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
  for (const Client& client : clients_) {
    short events = POLLIN | (client.output.empty() ? 0 : POLLOUT);
    fds.push_back({client.fd, events, 0});
  }
  // Lines read are written once nothing more is waiting (or enough has gathered): a client that
  // sends line by line then costs one write(2) per burst, not one per line.
  const bool idle = writers_.Unwritten() == 0 && !readLastPass_;
  int ready = poll(fds.data(), fds.size(), idle ? PollTimeout() : 0);
  if (ready == 0 && readLastPass_) {
    // Caught up while clients were sending. A server waiting in poll makes each send(2) of theirs
    // wake it, one line a wake-up; a short sleep lets the lines of that time arrive for one read,
    // and the senders do not pay for waking anyone.
    const timespec gather{0, kGatherMicros * 1000};
    nanosleep(&gather, nullptr);
    ready = poll(fds.data(), fds.size(), 0);
  }
  if (ready == 0 && !idle) {
    if (writers_.Unwritten() != 0) FlushWriters();
    ready = poll(fds.data(), fds.size(), PollTimeout());
  }
  readLastPass_ = false;
  now_ = NowMs();
  if (ready > 0 && fds[0].revents != 0) {
    char drain[64];
    while (read(wakeFd, drain, sizeof drain) > 0) {
    }
  }
  if (reload) {
    reload = 0;
    rereadFilter_ = true;
    onlyIfChanged_ = false;  // the operator asked
    Request(filterPush_);
  }
  // Clients accepted during this pass come after `polled` and wait for the next one.
  const size_t polled = clients_.size();
  for (size_t i = 0; ready > 0 && i < polled; ++i) {
    short revents = fds[i + 2].revents;
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && ReadFrom(clients_[i]) > 0)
      readLastPass_ = true;
    if ((revents & POLLOUT) != 0 && clients_[i].failed == nullptr) SendPushed(clients_[i]);
  }
  if (writers_.Unwritten() >= kWriteBatch || now_ - flushedAt_ >= kWriteDelayMs) FlushWriters();
  if (ready > 0 && fds[1].revents != 0) Accept();
  if (now_ - lastSecond_ >= 1000) {
    lastSecond_ = now_;
    today_ = Today();
    if (ConfigChanged()) {
      rereadFilter_ = true;
      Request(filterPush_);
    }
    writers_.CloseIdle(now_);
  }
  PushDue();
  CheckTimeouts();
  RemoveFailed();
}

void LogServer::FlushWriters() {
  writers_.Flush();
  flushedAt_ = now_;
}

// After the stop: what the clients had sent before it is still written, for at most a second.
// They are read in turns as while serving: a client that goes on flooding must neither use up
// that second before the others are read nor have its lines gather unwritten in memory.
void LogServer::Drain() {
  const int64_t until = NowMs() + 1000;
  for (bool more = true; more && NowMs() < until;) {
    more = false;
    for (Client& client : clients_) {
      if (client.failed == nullptr && ReadFrom(client) > 0) more = true;
      if (writers_.Unwritten() >= kWriteBatch) writers_.Flush();
    }
  }
  for (Client& client : clients_) WritePartial(client);
  writers_.Flush();
}

void LogServer::Accept() {
  for (int k = 0; k < kAcceptsPerPass && clients_.size() < options_.maxClients; ++k) {
    Client client;
    socklen_t length = sizeof client.peer;
    client.fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&client.peer), &length,
                        SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client.fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The connection waits in the kernel's queue; closing the log files frees descriptors
        // (they are opened again at their next line).
        acceptPausedUntil_ = now_ + 1000;
        writers_.CloseAll();
        Note(Errno("cannot accept a connection, trying again in a second"));
        return;
      }
      continue;  // that connection failed (ECONNABORTED, a firewall's EPERM): the next one
    }
    if (!Allowed(client.peer)) {
      Note("refused a connection from " + AddressText(client.peer) + " (not in --allow)");
      close(client.fd);
      continue;
    }
    client.address = AddressText(client.peer);
    client.control = IsLoopback(client.peer);
    for (const AddressRange& range : options_.control)
      client.control = client.control || range.Contains(client.peer);
    client.wantFilter = true;
    clients_.push_back(std::move(client));
  }
}

bool LogServer::Allowed(const sockaddr_storage& peer) const {
  if (options_.allow.empty()) return true;
  for (const AddressRange& range : options_.allow) {
    if (range.Contains(peer)) return true;
  }
  return false;
}

// One turn: at most kReadChunk bytes, parsed at once. Returns the bytes read.
size_t LogServer::ReadFrom(Client& client) {
  static char buffer[kReadChunk];
  ssize_t n = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n > 0) {
    Parse(client, buffer, static_cast<size_t>(n));
    return static_cast<size_t>(n);
  }
  if (n == 0) {
    client.failed = "ended";
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    client.failed = "receive failed";
  }
  return 0;
}

void LogServer::Parse(Client& client, const char* data, size_t size) {
  if (!client.input.empty()) {
    // Complete the record begun in an earlier turn: its count first, then its bytes.
    size_t take = client.input.size() < 4 ? std::min(size, 4 - client.input.size()) : 0;
    client.input.append(data, take);
    data += take;
    size -= take;
    if (client.input.size() < 4) return;
    uint32_t frame = Little32(client.input.data());
    if (frame > kMaxFrame) {
      client.failed = "sent an oversized record";
      return;
    }
    take = std::min(size, 4 + frame - client.input.size());
    client.input.append(data, take);
    data += take;
    size -= take;
    if (client.input.size() < 4 + frame) return;
    if (!HandleFrame(client, client.input.data() + 4, frame)) return;
    client.input.clear();
  }
  while (size >= 4) {
    uint32_t frame = Little32(data);
    if (frame > kMaxFrame) {
      client.failed = "sent an oversized record";
      return;
    }
    if (size - 4 < frame) break;
    if (!HandleFrame(client, data + 4, frame)) return;
    data += 4 + frame;
    size -= 4 + frame;
  }
  if (size > 0) {
    client.input.assign(data, size);
    client.inputSince = now_;
  }
}

bool LogServer::HandleFrame(Client& client, const char* data, uint32_t size) {
  try {
    dodudo::KBufferDeserializer reader(data, size);
    record_.Serialize(reader);
    if (reader.Remaining() != 0) throw std::length_error("bytes left over");
  } catch (const std::exception&) {
    client.failed = "sent a malformed record";
    return false;
  }
  if (record_.name == "0") {
    bool reload = record_.text == "reload", order = record_.text == "config_reload";
    if ((reload || order) && !client.control) {
      Note("ignored a \"" + record_.text + "\" request from " + client.address +
           " (not this machine, not in --allow-control)");
    } else if (reload) {
      rereadFilter_ = true;
      onlyIfChanged_ = false;  // a client asked
      Request(filterPush_);
    } else if (order) {
      Request(orderPush_);
    }
    return true;
  }
  if (!record_.text.empty()) WriteRecord(client);
  return true;
}

// The library sends a line longer than a record's string as consecutive records of one writer,
// only the last with the line end: their texts make up the line. Bounded per connection: a line
// longer than kMaxLine is written in pieces of that size, each a line of its own.
void LogServer::WriteRecord(Client& client) {
  const std::string& text = record_.text;
  if (!client.partial.empty() && client.partialWriter != record_.name) WritePartial(client);
  if (text.back() != '\n') {
    if (client.partial.empty()) client.partialWriter = record_.name;
    client.partial += text;
    if (client.partial.size() >= kMaxLine) WritePartial(client);
    return;
  }
  if (client.partial.empty()) {
    WriteLine(client, record_.name, text);
  } else {
    client.partial += text;
    WritePartial(client);
  }
}

// Writes the start of a line that stays incomplete (another writer's record came, the line grew
// too long, the connection ended) with the line end added.
void LogServer::WritePartial(Client& client) {
  if (client.partial.empty()) return;
  WriteLine(client, client.partialWriter, client.partial);
  client.partial.clear();
  client.partialWriter.clear();
}

void LogServer::WriteLine(const Client& client, const std::string& name, const std::string& text) {
  line_.clear();
  AppendLine(text, line_);
  const std::string writer = SafeName(name);
  writers_.Write(options_.dir + "/" + client.address + "/" + writer, line_, today_, now_);
  forwarder_.Forward(client.address, writer, line_);
}

// Turns what is wanted into bytes once the previous ones are gone, and sends what the socket
// takes now.
void LogServer::SendPushed(Client& client) {
  if (client.output.empty()) {
    if (client.wantFilter) client.output = pushedFilter_;
    if (client.wantOrder) client.output += orderFrame_;
    client.wantFilter = client.wantOrder = false;
    if (client.output.empty()) return;
    client.outputSince = now_;
  }
  ssize_t n = send(client.fd, client.output.data(), client.output.size(),
                   MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n > 0) {
    client.output.erase(0, static_cast<size_t>(n));
    client.outputSince = now_;
  } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    client.failed = "send failed";
  }
}

void LogServer::Request(Pending& pending) {
  if (!pending.waiting) pending.first = now_;
  pending.waiting = true;
  pending.last = now_;
}

int64_t LogServer::DueAt(const Pending& pending) const {
  return std::max(pending.pushed + kPushIntervalMs,
                  std::min(pending.last + kPushSettleMs, pending.first + kPushIntervalMs));
}

void LogServer::PushDue() {
  if (filterPush_.waiting && now_ >= DueAt(filterPush_)) {
    std::string filter = rereadFilter_ ? LoadFilter() : pushedFilter_;
    if (!onlyIfChanged_ || filter != pushedFilter_) {
      pushedFilter_ = filter;
      for (Client& client : clients_) client.wantFilter = true;
      filterPush_.pushed = now_;
    }
    filterPush_.waiting = false;
    rereadFilter_ = false;
    onlyIfChanged_ = true;
  }
  if (orderPush_.waiting && now_ >= DueAt(orderPush_)) {
    for (Client& client : clients_) client.wantOrder = true;
    orderPush_.pushed = now_;
    orderPush_.waiting = false;
  }
  for (Client& client : clients_) {
    if (client.failed == nullptr && client.output.empty() &&
        (client.wantFilter || client.wantOrder))
      SendPushed(client);
  }
}

void LogServer::CheckTimeouts() {
  const int64_t limit = static_cast<int64_t>(options_.timeoutSeconds) * 1000;
  for (Client& client : clients_) {
    if (client.failed != nullptr) continue;
    if (!client.input.empty() && now_ - client.inputSince >= limit) {
      client.failed = "left a record incomplete";
    } else if (!client.output.empty() && now_ - client.outputSince >= limit) {
      client.failed = "does not read what is pushed to it";
    }
  }
}

void LogServer::RemoveFailed() {
  for (Client& client : clients_) {
    if (client.failed != nullptr) WritePartial(client);
  }
  auto gone = std::remove_if(clients_.begin(), clients_.end(), [this](const Client& client) {
    if (client.failed == nullptr) return false;
    if (strcmp(client.failed, "ended") != 0) {
      Note("closed the connection of " + client.address + ": it " + client.failed);
    }
    close(client.fd);
    return true;
  });
  clients_.erase(gone, clients_.end());
}

int LogServer::PollTimeout() const {
  int64_t next = lastSecond_ + 1000;
  for (const Pending* pending : {&filterPush_, &orderPush_}) {
    if (pending->waiting) next = std::min(next, DueAt(*pending));
  }
  if (acceptPausedUntil_ > now_) next = std::min(next, acceptPausedUntil_);
  const int64_t limit = static_cast<int64_t>(options_.timeoutSeconds) * 1000;
  for (const Client& client : clients_) {
    if (!client.input.empty()) next = std::min(next, client.inputSince + limit);
    if (!client.output.empty()) next = std::min(next, client.outputSince + limit);
  }
  return static_cast<int>(std::clamp<int64_t>(next - NowMs(), 0, 1000));
}

// The filter of klog.cfg, as a frame; without a readable file, every trace on (as a process
// without one).
std::string LogServer::LoadFilter() {
  dodudo::KReloadMessage message(dodudo::KReloadMessage::kLogFilter);
  try {
    message.GetLogFilter().LoadConfig();
  } catch (const std::exception&) {
  }
  return Frame(message);
}

bool LogServer::ConfigChanged() {
  struct stat st;
  std::string stamp = "missing";
  if (stat(KLogFilter::GetConfigFileName(), &st) == 0) {
    stamp = std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
            std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  }
  bool changed = !configStamp_.empty() && stamp != configStamp_;
  configStamp_ = stamp;
  return changed;
}

// A message on standard error (the journal, under systemd), at most ten a minute: a peer that
// misbehaves on purpose must not flood the system's log through us.
void LogServer::Note(const std::string& what) {
  if (now_ - noteMinute_ >= 60000) {
    if (notesLeftOut_ > 0) fprintf(stderr, "snllogd: %u more messages left out\n", notesLeftOut_);
    noteMinute_ = now_;
    notes_ = notesLeftOut_ = 0;
  }
  if (notes_++ < 10) {
    fprintf(stderr, "snllogd: %s\n", what.c_str());
  } else {
    ++notesLeftOut_;
  }
}

}  // namespace snllogd

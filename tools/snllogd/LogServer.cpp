#include "tools/snllogd/LogServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "DOdudo/KFileLogWriter.h"
#include "DOdudo/KLogFilter.h"
#include "DOdudo/KLogMessage.h"
#include "DOdudo/LB9/Basics/KBuffer.h"

namespace snllogd {

namespace {

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

int SyslogPriority(const std::string& line) {
  switch (line.empty() ? 'I' : line[0]) {
    case 'E':
      return LOG_ERR;
    case 'W':
      return LOG_WARNING;
    case 'N':
      return LOG_NOTICE;
    case 'T':
      return LOG_DEBUG;
    default:
      return LOG_INFO;
  }
}

std::string Errno(const char* what) { return std::string(what) + ": " + strerror(errno); }

}  // namespace

std::string SafeName(const std::string& name) {
  std::string safe;
  for (char c : name) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '_' || c == '-';
    safe += keep ? c : '_';
  }
  safe.erase(0, safe.find_first_not_of('.'));
  return safe.empty() ? "unnamed" : safe;
}

LogServer::LogServer(const Options& options) : options_(options) {
  if (options_.syslog) openlog("snllogd", LOG_PID | LOG_NDELAY, LOG_USER);
}

LogServer::~LogServer() {
  for (Client& client : clients_) close(client.fd);
  if (listenFd_ >= 0) close(listenFd_);
  if (options_.syslog) closelog();
}

void LogServer::Open() {
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
  if (listen(listenFd_, 128) != 0) throw std::runtime_error(Errno("listen"));
  LoadFilter();
  configStamp_.clear();
  ConfigChanged();  // remember the file as loaded
}

void LogServer::Run(volatile int& stop, volatile int& reload, int wakeFd) {
  std::vector<pollfd> fds;
  while (!stop) {
    if (reload || ConfigChanged()) {
      reload = 0;
      LoadFilter();
      PushToAll(filterFrame_);
    }
    fds.assign({{wakeFd, POLLIN, 0}, {listenFd_, POLLIN, 0}});
    for (const Client& client : clients_) fds.push_back({client.fd, POLLIN, 0});
    int ready = poll(fds.data(), fds.size(), 1000);
    if (ready <= 0) continue;  // timeout (the file check) or a signal
    if (fds[0].revents != 0) {
      char drain[64];
      while (read(wakeFd, drain, sizeof drain) > 0) {
      }
    }
    // Clients first, by descriptor (Accept and Drop reorder clients_).
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto found = std::find_if(clients_.begin(), clients_.end(),
                                [&](const Client& c) { return c.fd == fds[i].fd; });
      if (found != clients_.end() && !ReadFrom(*found)) Drop(found - clients_.begin());
    }
    for (KFileLogWriter* writer : touched_) writer->Flush(false);
    touched_.clear();
    if (fds[1].revents != 0) Accept();
  }
}

void LogServer::Accept() {
  while (true) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    char text[INET6_ADDRSTRLEN] = "unknown";
    if (peer.ss_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof text);
    } else if (peer.ss_family == AF_INET6) {
      inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr, text, sizeof text);
    }
    clients_.push_back(Client{fd, text, {}});
    if (!Push(clients_.back(), filterFrame_)) Drop(clients_.size() - 1);
  }
}

// Reads what the client sent and handles every whole frame. False when the client is to go.
bool LogServer::ReadFrom(Client& client) {
  char buffer[64 * 1024];
  ssize_t n;
  while ((n = recv(client.fd, buffer, sizeof buffer, 0)) > 0) {
    client.input.append(buffer, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < sizeof buffer) break;
  }
  bool open = n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
  size_t at = 0;
  while (client.input.size() - at >= 4) {
    uint32_t size = Little32(client.input.data() + at);
    if (size > kMaxFrame) return false;
    if (client.input.size() - at - 4 < size) break;
    if (!HandleFrame(client, client.input.data() + at + 4, size)) return false;
    at += 4 + size;
  }
  client.input.erase(0, at);
  return open;
}

bool LogServer::HandleFrame(Client& client, const char* data, uint32_t size) {
  dodudo::KLogMessage record;
  try {
    dodudo::KBufferDeserializer reader(data, size);
    record.Serialize(reader);
    if (reader.Remaining() != 0) return false;
  } catch (const std::exception&) {
    return false;
  }
  if (record.name == "0") {
    if (record.text == "reload") {
      LoadFilter();
      PushToAll(filterFrame_);
    } else if (record.text == "config_reload") {
      dodudo::KReloadMessage order(dodudo::KReloadMessage::kReloadConfigs);
      PushToAll(Frame(order));
    }
    return true;
  }
  WriteLine(client, record.name, record.text);
  return true;
}

void LogServer::WriteLine(const Client& client, const std::string& name, const std::string& text) {
  KFileLogWriter* writer = WriterFor(options_.dir + "/" + client.address + "/" + SafeName(name));
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  writer->CheckDay(static_cast<unsigned int>(local.tm_mday));
  writer->Write(text.c_str());
  if (std::find(touched_.begin(), touched_.end(), writer) == touched_.end())
    touched_.push_back(writer);
  if (options_.syslog) {
    size_t length = text.size() - (!text.empty() && text.back() == '\n' ? 1 : 0);
    syslog(SyslogPriority(text), "%s %s: %.*s", client.address.c_str(), SafeName(name).c_str(),
           static_cast<int>(length), text.c_str());
  }
}

KFileLogWriter* LogServer::WriterFor(const std::string& path) {
  std::unique_ptr<KFileLogWriter>& writer = writers_[path];
  if (!writer) writer.reset(new KFileLogWriter(path.c_str()));
  return writer.get();
}

// Pushes one frame; a client that cannot take it at once (it does not read) is dropped.
bool LogServer::Push(Client& client, const std::string& frame) {
  ssize_t n = send(client.fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return n == static_cast<ssize_t>(frame.size());
}

void LogServer::PushToAll(const std::string& frame) {
  for (size_t i = clients_.size(); i-- > 0;) {
    if (!Push(clients_[i], frame)) Drop(i);
  }
}

void LogServer::Drop(size_t index) {
  close(clients_[index].fd);
  clients_.erase(clients_.begin() + static_cast<long>(index));
}

// The filter of klog.cfg; without a readable file, every trace on (as a process without one).
void LogServer::LoadFilter() {
  dodudo::KReloadMessage message(dodudo::KReloadMessage::kLogFilter);
  try {
    message.GetLogFilter().LoadConfig();
  } catch (const std::exception&) {
  }
  filterFrame_ = Frame(message);
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

}  // namespace snllogd

#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class KFileLogWriter;

namespace snllogd {

struct Options {
  std::string listen = "127.0.0.1";
  uint16_t port = 14110;
  // Subdirectory of the log directory that receives the clients' logs, one directory per client
  // address below it: /var/log/tolma/<dir>/<address>/<writer name>.log.
  std::string dir = "remote";
  bool syslog = false;
};

// The reference log server: accepts any number of client processes, writes each log record they
// send to the file of its writer name (through the library's file writer: date banners and
// rotation included), pushes the filter of its own klog.cfg to each client on connect and again
// whenever that file changes or on Reload(), re-pushes it on a "reload" request and sends a
// configuration reload order to every client on a "config_reload" request.
//
// Single-threaded: Run() polls the listening socket and every client. A client that sends a
// malformed or oversized frame, or does not read what is pushed to it, is dropped.
class LogServer {
 public:
  explicit LogServer(const Options& options);
  ~LogServer();
  LogServer(const LogServer&) = delete;
  LogServer& operator=(const LogServer&) = delete;

  // Binds and listens; throws std::runtime_error with the reason when it cannot.
  void Open();
  // Serves until `stop` (read between polls) becomes non-zero; `reload` asks for the filter to be
  // read again and pushed (it is cleared here).
  void Run(volatile int& stop, volatile int& reload, int wakeFd);

  // The largest record accepted from a client; a line is at most about 2 KiB.
  static constexpr uint32_t kMaxFrame = 64 * 1024;

 private:
  struct Client {
    int fd = -1;
    std::string address;
    std::string input;
  };

  void Accept();
  bool ReadFrom(Client& client);
  bool HandleFrame(Client& client, const char* data, uint32_t size);
  void WriteLine(const Client& client, const std::string& name, const std::string& text);
  bool Push(Client& client, const std::string& frame);
  void PushToAll(const std::string& frame);
  void LoadFilter();
  bool ConfigChanged();
  void Drop(size_t index);
  KFileLogWriter* WriterFor(const std::string& path);

  Options options_;
  int listenFd_ = -1;
  std::vector<Client> clients_;
  std::map<std::string, std::unique_ptr<KFileLogWriter>> writers_;
  std::vector<KFileLogWriter*> touched_;
  std::string filterFrame_;
  std::string configStamp_;
};

// A writer name from a client as a safe file name: letters, digits, '.', '_' and '-' kept, any
// other byte replaced by '_', leading dots removed; "unnamed" when nothing is left.
std::string SafeName(const std::string& name);

}  // namespace snllogd

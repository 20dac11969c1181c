#pragma once

// A log server inside the test process: it accepts every connection on a loopback port, sends
// each one the bytes it is given (nothing by default: a filter, garbage), and records what it
// receives, decoded into (name, text) records as the log client frames them.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/LoopbackPeer.h"

namespace snltest {

class RecordingLogServer {
 public:
  using Record = std::pair<std::string, std::string>;  // writer name, text

  explicit RecordingLogServer(std::string greeting = "") : greeting_(std::move(greeting)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~RecordingLogServer() {
    stop_ = true;
    thread_.join();
  }
  unsigned short Port() const { return listener_.Port(); }
  int Connections() const { return connections_.load(); }

  // Every whole record received so far, per connection in order of arrival.
  std::vector<Record> Records() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<Record> records;
    for (const std::string& stream : streams_) Decode(stream, records);
    return records;
  }
  // The texts of the records of one writer name, concatenated.
  std::string Text(const std::string& name) {
    std::string text;
    for (const Record& record : Records())
      if (record.first == name) text += record.second;
    return text;
  }

 private:
  static uint32_t Little32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
  }
  // A kstring: length counting the NUL, characters, NUL.
  static bool String(const std::string& bytes, size_t& at, size_t end, std::string& out) {
    if (end - at < 4) return false;
    uint32_t length = Little32(bytes, at);
    if (length == 0 || end - at - 4 < length) return false;
    out.assign(bytes, at + 4, length - 1);
    at += 4 + length;
    return true;
  }
  static void Decode(const std::string& bytes, std::vector<Record>& records) {
    for (size_t at = 0; bytes.size() - at >= 4;) {
      size_t size = Little32(bytes, at);
      if (bytes.size() - at - 4 < size) break;
      size_t field = at + 4, end = at + 4 + size;
      Record record;
      if (String(bytes, field, end, record.first) && String(bytes, field, end, record.second))
        records.push_back(record);
      at = end;
    }
  }

  void Serve() {
    std::vector<int> peers;
    while (!stop_) {
      std::vector<pollfd> wait{{-1, POLLIN, 0}};
      for (int peer : peers) wait.push_back({peer, POLLIN, 0});
      ::poll(wait.data(), wait.size(), 10);
      for (size_t i = 1; i < wait.size(); ++i) {
        if (wait[i].revents == 0 || peers[i - 1] < 0) continue;
        char block[65536];
        ssize_t got = ::recv(peers[i - 1], block, sizeof block, 0);
        if (got <= 0) {
          ::close(peers[i - 1]);  // ended: close our side as a server does
          peers[i - 1] = -1;
          continue;
        }
        std::lock_guard<std::mutex> guard(lock_);
        streams_[i - 1].append(block, static_cast<size_t>(got));
      }
      for (int fd; (fd = listener_.Accept(0)) >= 0;) {
        peers.emplace_back(fd);
        ++connections_;
        {
          std::lock_guard<std::mutex> guard(lock_);
          streams_.emplace_back();
        }
        if (!greeting_.empty()) WriteAll(fd, greeting_);
      }
    }
    for (int peer : peers)
      if (peer >= 0) ::close(peer);
  }
  LoopbackListener listener_;
  std::string greeting_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex lock_;
  std::vector<std::string> streams_;  // guarded by lock_
  std::thread thread_;
};

}  // namespace snltest

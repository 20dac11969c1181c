#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "DOdudo/KFileLogWriter.h"

namespace snllogd {

// The file writers of the clients' logs, one per path under the log directory, with a bound on
// how many are open: each open writer holds two descriptors (its file and its directory), and a
// client may send any number of writer names. Opening one more than `maxOpen` closes the least
// recently used; a writer unused for `idleMs` is closed by CloseIdle. A closed writer has written
// everything it was given; the next line for its path opens it again (appending).
// Not thread-safe: the server's loop is its only user.
class WriterCache {
 public:
  WriterCache(size_t maxOpen, int64_t idleMs) : maxOpen_(maxOpen), idleMs_(idleMs) {}
  ~WriterCache();
  WriterCache(const WriterCache&) = delete;
  WriterCache& operator=(const WriterCache&) = delete;

  // Gives `text` (one whole line) to the writer of `path`, which writes it at the next Flush.
  void Write(const std::string& path, const std::string& text, unsigned day, int64_t nowMs);
  // Writes out what the writers were given since the last call: one write(2) per file.
  void Flush();
  // Bytes given since the last Flush.
  size_t Unwritten() const { return unwritten_; }
  void CloseIdle(int64_t nowMs);
  // Closes every writer (descriptors ran out elsewhere).
  void CloseAll();
  size_t Open() const { return writers_.size(); }

 private:
  struct Entry {
    std::unique_ptr<KFileLogWriter> writer;
    int64_t lastUse = 0;
    bool touched = false;
  };
  using Map = std::unordered_map<std::string, Entry>;
  void Close(Map::iterator at);

  size_t maxOpen_;
  int64_t idleMs_;
  Map writers_;
  // Entries given text since the last Flush (a map's elements stay where they are).
  std::vector<Entry*> touched_;
  size_t unwritten_ = 0;
};

}  // namespace snllogd

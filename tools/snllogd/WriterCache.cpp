#include "tools/snllogd/WriterCache.h"

#include <algorithm>

#include "DOdudo/KFileLogWriter.h"

namespace snllogd {

WriterCache::~WriterCache() { CloseAll(); }

void WriterCache::Write(const std::string& path, const std::string& text, unsigned day,
                        int64_t nowMs) {
  auto at = writers_.find(path);
  if (at == writers_.end()) {
    if (writers_.size() >= maxOpen_) {
      Close(std::min_element(writers_.begin(), writers_.end(), [](const auto& a, const auto& b) {
        return a.second.lastUse < b.second.lastUse;
      }));
    }
    at = writers_.emplace(path, Entry{}).first;
    at->second.writer.reset(new KFileLogWriter(path.c_str()));
  }
  Entry& entry = at->second;
  entry.lastUse = nowMs;
  entry.writer->CheckDay(day);
  entry.writer->WriteText(text.data(), text.size());
  unwritten_ += text.size();
  if (!entry.touched) {
    entry.touched = true;
    touched_.push_back(&entry);
  }
}

void WriterCache::Flush() {
  for (Entry* entry : touched_) {
    entry->writer->Flush(false);
    entry->touched = false;
  }
  touched_.clear();
  unwritten_ = 0;
}

void WriterCache::CloseIdle(int64_t nowMs) {
  for (auto at = writers_.begin(); at != writers_.end();) {
    auto next = std::next(at);
    if (nowMs - at->second.lastUse >= idleMs_) Close(at);
    at = next;
  }
}

void WriterCache::CloseAll() {
  while (!writers_.empty()) Close(writers_.begin());
}

// The writer's destructor writes what it was given and closes its file.
void WriterCache::Close(Map::iterator at) {
  if (at->second.touched) {
    touched_.erase(std::find(touched_.begin(), touched_.end(), &at->second));
  }
  writers_.erase(at);
}

}  // namespace snllogd

#pragma once

#include <poll.h>

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/NonCopyable.h"

namespace dodudo {

// A growable set of poll entries, used entries kept at the front. Not thread-safe: each set
// belongs to one waiting thread (a socket keeps one per direction).
class DODUDO_API KSocketPoll : public NonCopyable {
 public:
  // Bit set of interests and of reported events.
  enum PollType { Read = 1, Write = 2, Error = 4 };

  explicit KSocketPoll(unsigned int capacity);
  ~KSocketPoll();

  // Appends an entry for fd asking for the read and/or write bits of type (errors are always
  // reported); returns its index.
  unsigned int Add(int fd, int type);
  // Clears the bits of type from the first entry of fd and removes the entry when nothing is left.
  // A descriptor that is not in the set is ignored.
  void Del(int fd, int type);
  // Grows to n + n/2 entries when fewer than n are allocated.
  void EnsureSize(unsigned int n);
  // The system poll over the used entries; 0xFFFFFFFF waits without limit. Repeats on EINTR.
  int Poll(unsigned int ms);
  // The events reported for the entry at index as PollType bits; 0 beyond the capacity.
  int Events(unsigned int index) const;

  unsigned int Count() const { return count_; }
  unsigned int Capacity() const { return capacity_; }
  int Descriptor(unsigned int index) const { return index < capacity_ ? entries_[index].fd : -1; }

 private:
  pollfd* entries_;
  unsigned int capacity_;
  unsigned int count_;
};

}  // namespace dodudo

#include "DOdudo/LB9/Basics/KSocketPoll.h"

#include <errno.h>

#include <algorithm>

namespace dodudo {

namespace {
constexpr short kReadEvents = POLLIN | POLLPRI | POLLRDHUP;

void ClearEntries(pollfd* entries, unsigned int from, unsigned int to) {
  for (unsigned int i = from; i < to; ++i) entries[i] = pollfd{-1, 0, 0};
}
}  // namespace

KSocketPoll::KSocketPoll(unsigned int capacity)
    : entries_(capacity ? new pollfd[capacity] : nullptr), capacity_(capacity), count_(0) {
  ClearEntries(entries_, 0, capacity_);
}

KSocketPoll::~KSocketPoll() { delete[] entries_; }

unsigned int KSocketPoll::Add(int fd, int type) {
  EnsureSize(count_ + 1);
  short events = 0;
  if (type & Read) events |= kReadEvents;
  if (type & Write) events |= POLLOUT;
  entries_[count_] = pollfd{fd, events, 0};
  return count_++;
}

void KSocketPoll::Del(int fd, int type) {
  for (unsigned int i = 0; i < count_; ++i) {
    if (entries_[i].fd != fd) continue;
    if (type & Read) entries_[i].events &= static_cast<short>(~kReadEvents);
    if (type & Write) entries_[i].events &= static_cast<short>(~POLLOUT);
    if (type & Error) entries_[i].events &= static_cast<short>(~POLLERR);
    if (entries_[i].events == 0) {
      std::copy(entries_ + i + 1, entries_ + count_, entries_ + i);
      --count_;
      ClearEntries(entries_, count_, count_ + 1);
    }
    return;
  }
}

void KSocketPoll::EnsureSize(unsigned int n) {
  if (capacity_ >= n) return;
  const unsigned int grown = n + n / 2;
  pollfd* entries = new pollfd[grown];
  std::copy(entries_, entries_ + count_, entries);
  ClearEntries(entries, count_, grown);
  delete[] entries_;
  entries_ = entries;
  capacity_ = grown;
}

int KSocketPoll::Poll(unsigned int ms) {
  for (unsigned int i = 0; i < count_; ++i) entries_[i].revents = 0;
  const int timeout = ms == 0xFFFFFFFFu ? -1 : static_cast<int>(std::min(ms, 0x7FFFFFFFu));
  int result;
  do {
    result = ::poll(entries_, count_, timeout);
  } while (result < 0 && errno == EINTR);
  return result;
}

int KSocketPoll::Events(unsigned int index) const {
  if (index >= capacity_) return 0;
  const short returned = entries_[index].revents;
  int bits = 0;
  if (returned & kReadEvents) bits |= Read;
  if (returned & (POLLOUT | POLLHUP)) bits |= Write;
  if (returned & (POLLERR | POLLNVAL)) bits |= Error;
  return bits;
}

}  // namespace dodudo

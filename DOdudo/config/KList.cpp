#include "DOdudo/config/KList.h"

#include "DOdudo/host/KHostSystem.h"

KList::KList() : count_(0), section_(0), head_(nullptr), tail_(nullptr), lock_(nullptr) {}

KList::~KList() {
  // Runs KList::Clear, not an override: the derived part is gone by now.
  if (count_ != 0) KList::Clear();
  if (section_) ActivateSection(0);
}

void KList::Clear() {
  while (head_ != nullptr) Remove(head_);
  count_ = 0;
}

void KList::ActivateSection(unsigned char on) {
  if (on && lock_ == nullptr) lock_ = KHostSystem::CreateLocalMutex();
  if (!on && lock_ != nullptr) {
    KHostSystem::DeleteLocalMutex(lock_);
    lock_ = nullptr;
  }
  section_ = on;
}

void KList::Lock() {
  if (lock_ != nullptr) KHostSystem::EnterLocalMutex(lock_);
}

void KList::Unlock() {
  if (lock_ != nullptr) KHostSystem::LeaveLocalMutex(lock_);
}

KListNode* KList::New() { return new KListNode; }

KListNode* KList::Add(void* data) {
  KListNode* node = New();
  node->data = data;
  node->list = this;
  node->prev = tail_;
  if (tail_ != nullptr) tail_->next = node;
  tail_ = node;
  if (head_ == nullptr) head_ = node;
  ++count_;
  return node;
}

KListNode* KList::Insert(void* data, int index) {
  if (index < 0 || static_cast<unsigned int>(index) >= count_) return Add(data);
  KListNode* before = Get(static_cast<unsigned int>(index));
  KListNode* node = New();
  node->data = data;
  node->list = this;
  node->next = before;
  node->prev = before->prev;
  if (before->prev != nullptr)
    before->prev->next = node;
  else
    head_ = node;
  before->prev = node;
  ++count_;
  return node;
}

KListNode* KList::Get(unsigned int index) const {
  if (index >= count_) return nullptr;
  if (index == 0) return head_;
  KListNode* node;
  if (index > count_ / 2) {
    node = tail_;
    for (unsigned int i = count_ - 1; i > index; --i) node = node->prev;
  } else {
    node = head_;
    for (unsigned int i = 0; i < index; ++i) node = node->next;
  }
  return node;
}

KListNode* KList::Set(int index, void* data) {
  if (index < 0) return nullptr;
  KListNode* node = Get(static_cast<unsigned int>(index));
  if (node != nullptr) node->data = data;
  return node;
}

void KList::Remove(KListNode* node) {
  if (node == nullptr || node->list != this) return;
  if (node->prev != nullptr)
    node->prev->next = node->next;
  else
    head_ = node->next;
  if (node->next != nullptr)
    node->next->prev = node->prev;
  else
    tail_ = node->prev;
  if (count_ != 0) --count_;
  delete node;
}

void KList::Remove(int index) {
  if (index < 0) return;
  Remove(Get(static_cast<unsigned int>(index)));
}

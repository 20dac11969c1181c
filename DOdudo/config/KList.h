#pragma once

#include "DOdudo/host/KExport.h"

class KList;

// One element of a KList. The list never owns or frees data.
struct DODUDO_API KListNode {
  KListNode* next = nullptr;
  KListNode* prev = nullptr;
  void* data = nullptr;
  KList* list = nullptr;
};

// Doubly linked list of untyped pointers. It owns its nodes, never the data they point to.
// Threading: no operation locks by itself. A list shared between threads is bracketed by its
// users with Lock()/Unlock(), available after ActivateSection(true).
class DODUDO_API KList {
 public:
  KList();
  // Removes every node (not the data).
  virtual void Clear();
  virtual ~KList();
  KList(const KList&) = delete;
  KList& operator=(const KList&) = delete;

  // true creates the list's recursive mutex (an existing one is kept), false deletes it.
  void ActivateSection(unsigned char on);
  // Enter/leave the mutex; without an active section they do nothing.
  void Lock();
  void Unlock();

  // A fresh, unlinked node; Add and Insert use it.
  KListNode* New();
  KListNode* Add(void* data);
  // Before the node at index when 0 <= index < count (0 makes it the head), else appended.
  KListNode* Insert(void* data, int index);
  // The node at index, walking from whichever end is nearer; null when index >= count.
  KListNode* Get(unsigned int index) const;
  // Replaces the data at index and returns the node; null (and no change) for a missing index.
  KListNode* Set(int index, void* data);
  // Unlinks and frees the node (not its data). Null, or a node of another list, is ignored;
  // so is a missing index.
  void Remove(KListNode* node);
  void Remove(int index);

  unsigned int Count() const { return count_; }
  KListNode* Head() const { return head_; }
  KListNode* Tail() const { return tail_; }

 protected:
  unsigned int count_;
  unsigned char section_;
  KListNode* head_;
  KListNode* tail_;
  void* lock_;
};

#include "DOdudo/config/KList.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

int values[8] = {0, 1, 2, 3, 4, 5, 6, 7};

// The data pointers of the list from head to tail, checked against the tail-to-head walk.
std::vector<int> Contents(const KList& list) {
  std::vector<int> forward, backward;
  for (KListNode* n = list.Head(); n != nullptr; n = n->next) forward.push_back(*static_cast<int*>(n->data));
  for (KListNode* n = list.Tail(); n != nullptr; n = n->prev)
    backward.insert(backward.begin(), *static_cast<int*>(n->data));
  EXPECT_EQ(forward, backward) << "prev and next links disagree";
  EXPECT_EQ(forward.size(), list.Count());
  return forward;
}

void Fill(KList& list, int count) {
  for (int i = 0; i < count; ++i) list.Add(&values[i]);
}

}  // namespace

TEST(KList, AddGetAndInsertPositions) {
  KList list;
  EXPECT_EQ(list.Get(0), nullptr);
  Fill(list, 5);
  for (unsigned int i = 0; i < 5; ++i) EXPECT_EQ(list.Get(i)->data, &values[i]) << i;
  EXPECT_EQ(list.Get(5), nullptr);
  EXPECT_EQ(list.Get(2)->list, &list);

  list.Insert(&values[7], 0);
  EXPECT_EQ(Contents(list), (std::vector<int>{7, 0, 1, 2, 3, 4}));
  list.Insert(&values[6], 3);
  EXPECT_EQ(Contents(list), (std::vector<int>{7, 0, 1, 6, 2, 3, 4}));
  list.Insert(&values[5], 7);
  list.Insert(&values[5], -1);
  EXPECT_EQ(Contents(list), (std::vector<int>{7, 0, 1, 6, 2, 3, 4, 5, 5}));
}

TEST(KList, RemoveAndSetKeepLinksConsistent) {
  KList list;
  Fill(list, 5);
  list.Remove(list.Head());
  list.Remove(list.Tail());
  list.Remove(1);
  EXPECT_EQ(Contents(list), (std::vector<int>{1, 3}));
  EXPECT_EQ(list.Set(1, &values[6])->data, &values[6]);
  // Missing indexes and foreign nodes change nothing.
  EXPECT_EQ(list.Set(2, &values[0]), nullptr);
  list.Remove(7);
  list.Remove(-1);
  list.Remove(static_cast<KListNode*>(nullptr));
  KList other;
  KListNode* foreign = other.Add(&values[0]);
  list.Remove(foreign);
  EXPECT_EQ(other.Count(), 1u);
  EXPECT_EQ(Contents(list), (std::vector<int>{1, 6}));
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.Head(), nullptr);
  EXPECT_EQ(list.Tail(), nullptr);
}

TEST(KList, SectionLockIsRecursiveAndOptional) {
  KList list;
  list.Lock();  // no section: nothing to take
  list.Unlock();
  list.ActivateSection(1);
  list.ActivateSection(1);  // keeps the existing mutex
  list.Lock();
  list.Lock();
  list.Unlock();
  list.Unlock();
  list.ActivateSection(0);
  list.ActivateSection(1);  // destroyed with the list
}

#include "DOdudo/config/KList.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

int values[8] = {0, 1, 2, 3, 4, 5, 6, 7};

// The data from head to tail, checked against the tail-to-head walk and the count.
std::vector<int> Contents(const KList& list) {
  std::vector<int> forward, backward;
  for (KListNode* n = list.Head(); n != nullptr; n = n->next)
    forward.push_back(*static_cast<int*>(n->data));
  for (KListNode* n = list.Tail(); n != nullptr; n = n->prev)
    backward.insert(backward.begin(), *static_cast<int*>(n->data));
  EXPECT_EQ(forward, backward) << "prev and next links disagree";
  EXPECT_EQ(forward.size(), list.Count());
  return forward;
}

}  // namespace

TEST(KList, GetInsertRemoveAndSetKeepLinksConsistent) {
  KList list, other;
  for (int i = 0; i < 5; ++i) list.Add(&values[i]);
  EXPECT_TRUE(list.Get(4)->data == &values[4] && list.Get(5) == nullptr);
  list.Insert(&values[7], 0);
  list.Insert(&values[6], 3);
  list.Insert(&values[5], 7);
  list.Insert(&values[5], -1);
  EXPECT_EQ(Contents(list), (std::vector<int>{7, 0, 1, 6, 2, 3, 4, 5, 5}));
  list.Remove(list.Head());
  list.Remove(list.Tail());
  list.Remove(2);
  EXPECT_EQ(list.Set(0, &values[3])->data, &values[3]);
  // Missing indexes and foreign nodes change nothing.
  EXPECT_EQ(list.Set(6, &values[0]), nullptr);
  list.Remove(6);
  list.Remove(other.Add(&values[0]));
  EXPECT_EQ(Contents(list), (std::vector<int>{3, 1, 2, 3, 4, 5}));
  EXPECT_EQ(other.Count(), 1u);
  list.ActivateSection(1);  // a recursive lock
  list.Lock();
  list.Lock();
  list.Unlock();
  list.Unlock();
  list.Clear();
  EXPECT_EQ(Contents(list), std::vector<int>{});
}

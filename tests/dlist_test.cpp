// SPDX-License-Identifier: Apache-2.0
// DList and DListIterator: owning versus non-owning removal, records moving
// between lists, and walks that survive records around them being taken out
// or added. Plain order and membership are checked by the message fuzz
// target, which walks senders' record lists against a model.
#include <gtest/gtest.h>

#include <vector>

#include "common/testutil.h"
#include "zkflow/host/dlist.h"

namespace {

int gDeaths = 0;

struct Rec : zk::DListRec {
  explicit Rec(int v) : value(v) {}
  ~Rec() override { ++gDeaths; }
  int value;
};

std::vector<int> values(const zk::DList& l) {
  std::vector<int> v;
  for (zk::DListRec* r = l.first(); r; r = l.next(r)) v.push_back(static_cast<Rec*>(r)->value);
  return v;
}

// Walks `it` to its end; `action` runs on each record before the next advance.
template <class F>
std::vector<int> walk(zk::DListIterator& it, F action) {
  std::vector<int> v;
  while (zk::DListRec* r = it()) v.push_back(static_cast<Rec*>(r)->value), action(static_cast<Rec*>(r));
  return v;
}

class DListTest : public zktest::LiveTest {
 protected:
  void SetUp() override { gDeaths = 0; }
};

// An owning list deletes what remove() and empty() take out and what it
// holds at its end; extract() never deletes. Assignment takes every record
// (the target's own go first) and keeps the target's flag; a copy is empty.
TEST_F(DListTest, OwningListsAndAssignment) {
  Rec a(1), b(2);
  {
    zk::DList plain, owning(true), from(true);
    plain.append(&a);
    plain.append(&b);
    owning.append(&b);  // moves b out of `plain`
    EXPECT_EQ(values(plain), std::vector<int>{1});
    EXPECT_TRUE(owning.extract(&b));
    EXPECT_FALSE(owning.extract(&b));
    plain.remove(&b);  // not in it: ignored
    plain.remove(&a);
    EXPECT_FALSE(a.linked() || b.linked());
    Rec* r[4];
    for (int i = 0; i < 4; ++i) from.append(r[i] = new Rec(i));
    from.remove(r[1]);
    owning.append(new Rec(100));
    owning = from;
    EXPECT_EQ(gDeaths, 2);
    EXPECT_TRUE(from.isEmpty());
    EXPECT_EQ(r[0]->list(), &owning);
    owning = owning;
    zk::DList copy(owning);
    EXPECT_TRUE(copy.isEmpty() && copy.owning());
    plain = owning;
    EXPECT_EQ(values(plain), (std::vector<int>{0, 2, 3}));
    EXPECT_FALSE(plain.owning());
    owning = plain;
    owning.remove(r[2]);
    EXPECT_EQ(gDeaths, 3);
  }
  EXPECT_EQ(gDeaths, 5);
}

// The action may remove the record it is given, the next one, or any later
// one, through the list, the iterator or another iterator. Records inserted
// or appended after the iterator's position are reached; a finished walk
// stays finished until restarted.
TEST_F(DListTest, WalksSurviveChanges) {
  zk::DList l(true);
  Rec* r[6];
  for (int i = 0; i < 6; ++i) l.append(r[i] = new Rec(i));
  zk::DListIterator it(l), other(l);
  Rec* extracted = nullptr;
  EXPECT_EQ(walk(it, [&](Rec* rec) {
              if (rec == r[0]) l.remove(r[1]);
              if (rec == r[2]) it.remove(), it.remove();  // the second does nothing
              else if (rec == r[3]) extracted = static_cast<Rec*>(it.extract());
              if (rec == r[4]) other(), other(), other(), other.remove();  // r[0], r[4], r[5]
            }),
            (std::vector<int>{0, 2, 3, 4}));
  EXPECT_EQ(values(l), (std::vector<int>{0, 4}));
  EXPECT_EQ(gDeaths, 3);
  delete extracted;

  Rec a(1), b(2), c(3), x(9);
  zk::DList plain;
  zk::DListIterator walker(plain);  // made over an empty list, advanced after the append
  plain.append(&a);
  plain.append(&b);
  EXPECT_EQ(walker(), &a);
  plain.insertBefore(&x, &b);
  EXPECT_EQ(walk(walker, [&](Rec* rec) {
              if (rec == &b) plain.remove(&b), plain.append(&c);  // the last one goes
            }),
            (std::vector<int>{9, 2, 3}));
  plain.append(&b);
  EXPECT_EQ(walker(), nullptr);
  walker.restart();
  EXPECT_EQ(walk(walker, [](Rec*) {}), (std::vector<int>{1, 9, 3, 2}));
  plain.empty();
}

// Iterators leave the list's chain in any order; an iterator whose list is
// destroyed is told so and touches nothing.
TEST_F(DListTest, IteratorsOutliveEachOtherAndTheirList) {
  auto* l = new zk::DList(true);
  for (int i = 0; i < 3; ++i) l->append(new Rec(i));
  auto* first = new zk::DListIterator(*l);
  auto* second = new zk::DListIterator(*l);
  zk::DListIterator third(*l);
  delete second;  // from the middle of the chain
  (*first)();
  third();
  l->remove(l->last());
  l->remove(l->first()->nextRec());
  EXPECT_EQ((*first)(), nullptr);
  delete first;
  delete l;
  EXPECT_EQ(gDeaths, 3);
  EXPECT_EQ(third(), nullptr);
  third.remove();
  EXPECT_EQ(third.extract(), nullptr);
  third.restart();
  EXPECT_EQ(third(), nullptr);
}

}  // namespace

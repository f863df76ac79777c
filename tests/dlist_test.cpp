// DList and DListIterator: owning versus non-owning removal, records moving
// between lists, and walks that survive the records around them being taken
// out or added. Plain order and membership are checked by the message fuzz
// target, which walks senders' record lists against a model.
#include <gtest/gtest.h>

#include <vector>

#include "common/testutil.h"
#include "host/dlist.h"

namespace {

int gDeaths = 0;

struct Rec : DListRec {
  explicit Rec(int v) : value(v) {}
  ~Rec() override { ++gDeaths; }
  int value;
};

std::vector<int> values(const DList& l) {
  std::vector<int> v;
  for (DListRec* r = l.first(); r; r = l.next(r)) v.push_back(static_cast<Rec*>(r)->value);
  return v;
}

// Walks `it` to its end; `action` runs on each record before the next advance.
template <class F>
std::vector<int> walk(DListIterator& it, F action) {
  std::vector<int> v;
  while (DListRec* r = it()) v.push_back(static_cast<Rec*>(r)->value), action(static_cast<Rec*>(r));
  return v;
}
std::vector<int> walk(DListIterator& it) { return walk(it, [](Rec*) {}); }

class DListTest : public zktest::LiveTest {
 protected:
  void SetUp() override { gDeaths = 0; }
};

TEST_F(DListTest, OwningListDeletesWhatItTakesOutExtractNever) {
  Rec a(1), b(2);
  {
    DList plain, owning(true);
    plain.append(&a);
    plain.append(&b);
    owning.append(&b);  // moves b out of `plain`
    EXPECT_EQ(values(plain), std::vector<int>{1});
    EXPECT_EQ(b.list(), &owning);
    EXPECT_TRUE(owning.extract(&b));
    EXPECT_FALSE(owning.extract(&b));
    plain.remove(&a);
    plain.remove(&b);  // not in it: ignored
    EXPECT_FALSE(a.linked() || b.linked());
    EXPECT_EQ(gDeaths, 0);
    Rec* r[4];
    for (int i = 0; i < 4; ++i) owning.append(r[i] = new Rec(i));
    owning.remove(r[1]);
    EXPECT_EQ(gDeaths, 1);
    EXPECT_EQ(owning.size(), 3u);
    owning.empty();
    EXPECT_EQ(gDeaths, 4);
    owning.append(new Rec(7));  // goes with the list
  }
  EXPECT_EQ(gDeaths, 5);
}

// The action may remove the record it is given, the next one, or any later
// one, through the list, apply() or another iterator.
TEST_F(DListTest, WalksSurviveRemovals) {
  Rec a(1), b(2), c(3), d(4), e(5);
  DList l;
  for (Rec* r : {&a, &b, &c, &d, &e}) l.append(r);
  DListIterator it(l);
  EXPECT_EQ(walk(it, [&](Rec* r) {
              if (r == &a) l.remove(&b);
              if (r == &c) l.remove(&c), l.remove(&d);
            }),
            (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(it(), nullptr);  // stays at the end

  l.append(&b);
  DListIterator outer(l), inner(l);
  EXPECT_EQ(walk(outer, [&](Rec* r) {
              if (r != &a) return;
              inner(), inner();
              inner.remove();  // e, which outer would reach next
            }),
            (std::vector<int>{1, 2}));

  struct Ctx {
    DList* l;
    std::vector<int> seen;
  } ctx{&l, {}};
  l.apply([](DListRec* r, void* p) {
    auto* c = static_cast<Ctx*>(p);
    c->seen.push_back(static_cast<Rec*>(r)->value);
    c->l->remove(r);
  }, &ctx);
  EXPECT_EQ(ctx.seen, (std::vector<int>{1, 2}));
  EXPECT_TRUE(l.isEmpty());
  l.apply(nullptr, nullptr);
}

TEST_F(DListTest, IteratorRemoveAndExtractGoOnToTheNext) {
  DList l(true);
  Rec* r[5];
  for (int i = 0; i < 5; ++i) l.append(r[i] = new Rec(i));
  DListIterator it(l);
  Rec* extracted = nullptr;
  EXPECT_EQ(walk(it, [&](Rec* rec) {
              if (rec->value == 1) it.remove(), it.remove();  // the second does nothing
              else if (rec->value == 3) extracted = static_cast<Rec*>(it.extract());
            }),
            (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(values(l), (std::vector<int>{0, 2, 4}));
  EXPECT_EQ(extracted, r[3]);
  EXPECT_EQ(gDeaths, 1);  // the owning list deleted the removed one only
  delete extracted;
}

// Records inserted or appended after the iterator's position are reached;
// a finished walk stays finished until restarted.
TEST_F(DListTest, RecordsAddedDuringAWalkAreReached) {
  Rec a(1), b(2), c(3), x(9);
  DList l;
  DListIterator it(l);  // made over an empty list, advanced after the append
  l.append(&a);
  l.append(&b);
  EXPECT_EQ(it(), &a);
  l.insertBefore(&x, &b);
  EXPECT_EQ(walk(it, [&](Rec* r) {
              if (r == &b) l.remove(&b), l.append(&c);  // the last one goes
            }),
            (std::vector<int>{9, 2, 3}));
  l.append(&b);
  EXPECT_EQ(it(), nullptr);
  it.restart();
  EXPECT_EQ(walk(it), (std::vector<int>{1, 9, 3, 2}));
  l.empty();
}

// Assignment takes every record (the target's own go first, deleted when it
// owns) and keeps the target's owning flag; a copy starts empty.
TEST_F(DListTest, AssignmentMovesRecords) {
  {
    DList from(true), to(true), plain;
    for (int i = 0; i < 3; ++i) from.append(new Rec(i));
    to.append(new Rec(100));
    to = from;
    EXPECT_EQ(gDeaths, 1);
    EXPECT_TRUE(from.isEmpty());
    EXPECT_EQ(to.first()->list(), &to);
    to = to;
    EXPECT_EQ(values(to), (std::vector<int>{0, 1, 2}));
    DList copy(to);
    EXPECT_TRUE(copy.isEmpty() && copy.owning());
    plain = to;
    EXPECT_FALSE(plain.owning());
    to = plain;
    EXPECT_EQ(gDeaths, 1);
  }
  EXPECT_EQ(gDeaths, 4);
}

// Iterators leave the list's chain in any order; an iterator whose list is
// destroyed is told so and touches nothing.
TEST_F(DListTest, IteratorsOutliveEachOtherAndTheirList) {
  auto* l = new DList(true);
  for (int i = 0; i < 3; ++i) l->append(new Rec(i));
  auto* first = new DListIterator(*l);
  auto* second = new DListIterator(*l);
  DListIterator third(*l);
  delete second;  // from the middle of the chain
  (*first)();
  third();
  l->remove(l->last());
  l->remove(l->first()->nextRec());
  EXPECT_EQ((*first)(), nullptr);
  delete first;
  delete l;
  EXPECT_EQ(gDeaths, 3);
  EXPECT_EQ(third.current(), nullptr);
  EXPECT_EQ(third(), nullptr);
  third.remove();
  EXPECT_EQ(third.extract(), nullptr);
  third.restart();
  EXPECT_EQ(third(), nullptr);
}

}  // namespace

// DList and DListIterator: membership and order, owning versus non-owning
// removal, and walks that survive the records around them being taken out.
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

int valueOf(DListRec* r) { return static_cast<Rec*>(r)->value; }

// The values of a list, first to last, by following the links.
std::vector<int> values(const DList& l) {
  std::vector<int> v;
  for (DListRec* r = l.first(); r; r = l.next(r)) v.push_back(valueOf(r));
  return v;
}

std::vector<int> walk(DListIterator& it) {
  std::vector<int> v;
  while (DListRec* r = it()) v.push_back(valueOf(r));
  return v;
}

class DListTest : public zktest::LiveTest {
 protected:
  void SetUp() override { gDeaths = 0; }
};

TEST_F(DListTest, NonOwningListKeepsRecordsAlive) {
  Rec a(1), b(2), c(3);
  DList l;
  EXPECT_FALSE(l.owning());
  EXPECT_TRUE(l.isEmpty());
  EXPECT_EQ(l.size(), 0u);
  EXPECT_FALSE(a.linked());
  l.append(&a);
  l.append(&b);
  l.append(&c);
  l.append(nullptr);  // ignored
  EXPECT_EQ(l.size(), 3u);
  EXPECT_EQ(values(l), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(l.first(), &a);
  EXPECT_EQ(l.last(), &c);
  EXPECT_TRUE(l.member(&b));
  EXPECT_EQ(b.list(), &l);
  EXPECT_FALSE(l.member(nullptr));

  l.remove(&b);
  EXPECT_EQ(gDeaths, 0);
  EXPECT_FALSE(l.member(&b));
  EXPECT_FALSE(b.linked());
  EXPECT_EQ(b.nextRec(), &b);  // back to linked to itself
  EXPECT_EQ(l.size(), 2u);
  EXPECT_EQ(values(l), (std::vector<int>{1, 3}));

  // Records not in the list, and null, are ignored.
  l.remove(&b);
  l.remove(nullptr);
  EXPECT_FALSE(l.extract(&b));
  EXPECT_EQ(l.size(), 2u);

  l.empty();
  EXPECT_EQ(gDeaths, 0);
  EXPECT_TRUE(l.isEmpty());
  EXPECT_EQ(l.size(), 0u);
  EXPECT_FALSE(a.linked());
  EXPECT_FALSE(c.linked());
  EXPECT_EQ(l.first(), nullptr);
  EXPECT_EQ(l.last(), nullptr);
}

TEST_F(DListTest, OwningListDeletesWhatItTakesOut) {
  {
    DList l(true);
    EXPECT_TRUE(l.owning());
    Rec* r[5];
    for (int i = 0; i < 5; ++i) l.append(r[i] = new Rec(i));
    l.remove(r[1]);
    EXPECT_EQ(gDeaths, 1);
    // extract never deletes.
    EXPECT_TRUE(l.extract(r[2]));
    EXPECT_EQ(gDeaths, 1);
    EXPECT_FALSE(r[2]->linked());
    delete r[2];
    EXPECT_EQ(gDeaths, 2);
    EXPECT_EQ(values(l), (std::vector<int>{0, 3, 4}));
    l.empty();
    EXPECT_EQ(gDeaths, 5);
    EXPECT_EQ(l.size(), 0u);
    // What is left at destruction goes with the list.
    l.append(new Rec(7));
    l.append(new Rec(8));
  }
  EXPECT_EQ(gDeaths, 7);
}

TEST_F(DListTest, AppendMovesARecordBetweenLists) {
  Rec a(1), b(2);
  DList one, two;
  one.append(&a);
  one.append(&b);
  two.append(&a);
  EXPECT_EQ(values(one), (std::vector<int>{2}));
  EXPECT_EQ(values(two), (std::vector<int>{1}));
  EXPECT_TRUE(two.member(&a));
  EXPECT_FALSE(one.member(&a));
  // Appending a record of this list moves it to the end.
  two.append(&b);
  two.append(&a);
  EXPECT_EQ(values(two), (std::vector<int>{2, 1}));
  EXPECT_TRUE(one.isEmpty());
  two.empty();
}

void collect(DListRec* r, void* arg) { static_cast<std::vector<int>*>(arg)->push_back(valueOf(r)); }

struct ApplyCtx {
  DList* list;
  std::vector<int> seen;
  int removeWhenSeen;  // value whose visit removes `victim`
  DListRec* victim;
};

void collectAndRemove(DListRec* r, void* arg) {
  auto* ctx = static_cast<ApplyCtx*>(arg);
  ctx->seen.push_back(valueOf(r));
  if (valueOf(r) == ctx->removeWhenSeen) ctx->list->remove(ctx->victim);
}

TEST_F(DListTest, ApplyVisitsInOrderAndSurvivesRemovals) {
  DList l(true);
  Rec* r[5];
  for (int i = 0; i < 5; ++i) l.append(r[i] = new Rec(i));
  std::vector<int> seen;
  l.apply(&collect, &seen);
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
  l.apply(nullptr, nullptr);  // no function: nothing happens

  // The function removes a later record: it is skipped.
  ApplyCtx later{&l, {}, 1, r[3]};
  l.apply(&collectAndRemove, &later);
  EXPECT_EQ(later.seen, (std::vector<int>{0, 1, 2, 4}));
  // The function removes (and deletes) the record it was given.
  ApplyCtx self{&l, {}, 2, r[2]};
  l.apply(&collectAndRemove, &self);
  EXPECT_EQ(self.seen, (std::vector<int>{0, 1, 2, 4}));
  EXPECT_EQ(values(l), (std::vector<int>{0, 1, 4}));
  EXPECT_EQ(gDeaths, 2);
  l.empty();
}

TEST_F(DListTest, IteratorWalksFirstToLastThenNull) {
  Rec a(1), b(2), c(3);
  DList l;
  {
    DListIterator empty(l);
    EXPECT_EQ(empty(), nullptr);
    EXPECT_EQ(empty.current(), nullptr);
  }
  l.append(&a);
  l.append(&b);
  l.append(&c);
  DListIterator it(l);
  EXPECT_EQ(it(), &a);
  EXPECT_EQ(it.current(), &a);
  EXPECT_EQ(it.next(), &b);
  EXPECT_EQ(it(), &c);
  EXPECT_EQ(it(), nullptr);
  EXPECT_EQ(it(), nullptr);  // stays at the end
  it.restart();
  EXPECT_EQ(walk(it), (std::vector<int>{1, 2, 3}));
  l.empty();
}

TEST_F(DListTest, IteratorRemoveAndExtract) {
  {
    DList l(true);
    Rec* r[5];
    for (int i = 0; i < 5; ++i) l.append(r[i] = new Rec(i));
    DListIterator it(l);
    std::vector<int> seen;
    Rec* extracted = nullptr;
    while (DListRec* rec = it()) {
      seen.push_back(valueOf(rec));
      if (valueOf(rec) == 1) {
        it.remove();
        EXPECT_EQ(gDeaths, 1);  // owning: deleted
        EXPECT_EQ(it.current(), nullptr);
        it.remove();  // nothing current any more: no effect
      } else if (valueOf(rec) == 3) {
        extracted = static_cast<Rec*>(it.extract());
        EXPECT_EQ(extracted, r[3]);
        EXPECT_FALSE(extracted->linked());
        EXPECT_EQ(it.extract(), nullptr);
      }
    }
    // Both walks went on to the record that followed.
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(values(l), (std::vector<int>{0, 2, 4}));
    EXPECT_EQ(gDeaths, 1);
    delete extracted;
  }
  EXPECT_EQ(gDeaths, 5);
}

TEST_F(DListTest, WalkSurvivesTheActionRemovingRecords) {
  Rec a(1), b(2), c(3), d(4), e(5);
  DList l;
  for (Rec* r : {&a, &b, &c, &d, &e}) l.append(r);
  DListIterator it(l);
  std::vector<int> seen;
  while (DListRec* r = it()) {
    seen.push_back(valueOf(r));
    if (r == &a) l.remove(&b);  // the record the iterator would reach next
    if (r == &c) {
      // The current record and the next one, through the list.
      l.remove(&c);
      l.remove(&d);
    }
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(values(l), (std::vector<int>{1, 5}));

  // Removal through a second iterator over the same list.
  l.append(&b);
  l.append(&c);
  DListIterator outer(l);
  DListIterator inner(l);
  seen.clear();
  while (DListRec* r = outer()) {
    seen.push_back(valueOf(r));
    if (r == &a) {
      inner.restart();
      inner();  // a
      inner();  // e
      inner.remove();
    }
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(values(l), (std::vector<int>{1, 2, 3}));
  l.empty();
}

TEST_F(DListTest, InsertBeforeTheIteratorsNextIsReached) {
  Rec a(1), b(2), c(3), x(9), y(10);
  DList l;
  l.append(&a);
  l.append(&b);
  DListIterator it(l);
  EXPECT_EQ(it(), &a);
  l.insertBefore(&x, &b);
  EXPECT_EQ(it(), &x);
  EXPECT_EQ(it(), &b);
  // Appended while the iterator stands on the last record: reached.
  l.append(&c);
  EXPECT_EQ(it(), &c);
  EXPECT_EQ(it(), nullptr);
  // Inserted before the first record.
  l.insertBefore(&y, &a);
  EXPECT_EQ(values(l), (std::vector<int>{10, 1, 9, 2, 3}));
  EXPECT_EQ(l.first(), &y);
  l.empty();
}

// A record appended during a walk follows the iterator's position, so the walk
// reaches it, whatever happened to the record the iterator stood on.
TEST_F(DListTest, RecordsAppendedDuringAWalkAreReached) {
  Rec a(1), b(2), c(3), d(4);
  DList l;
  // Made over an empty list, advanced after the append.
  DListIterator fresh(l);
  l.append(&a);
  EXPECT_EQ(fresh(), &a);
  EXPECT_EQ(fresh(), nullptr);

  // The action removes the last record, the one being visited, and appends.
  l.append(&b);
  DListIterator it(l);
  std::vector<int> seen;
  while (DListRec* r = it()) {
    seen.push_back(valueOf(r));
    if (r == &b) {
      l.remove(&b);
      l.append(&c);
    }
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  // A finished walk stays finished until restarted.
  l.append(&d);
  EXPECT_EQ(it(), nullptr);
  it.restart();
  EXPECT_EQ(walk(it), (std::vector<int>{1, 3, 4}));
  l.empty();
}

TEST_F(DListTest, AssignmentMovesRecords) {
  {
    DList from(true);
    DList to(true);
    for (int i = 0; i < 3; ++i) from.append(new Rec(i));
    to.append(new Rec(100));
    to = from;
    // The target's own record is taken out (deleted: the target owns).
    EXPECT_EQ(gDeaths, 1);
    EXPECT_TRUE(from.isEmpty());
    EXPECT_EQ(from.size(), 0u);
    EXPECT_EQ(values(to), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(to.size(), 3u);
    for (DListRec* r = to.first(); r; r = to.next(r)) EXPECT_EQ(r->list(), &to);
    DList& self = to;
    to = self;  // self-assignment keeps everything
    EXPECT_EQ(values(to), (std::vector<int>{0, 1, 2}));

    // A copy starts empty with the source's owning flag.
    DList copy(to);
    EXPECT_TRUE(copy.isEmpty());
    EXPECT_TRUE(copy.owning());

    // A non-owning target keeps its flag.
    DList plain;
    plain = to;
    EXPECT_FALSE(plain.owning());
    EXPECT_EQ(values(plain), (std::vector<int>{0, 1, 2}));
    to = plain;  // give them back to the owner before `plain` goes
    EXPECT_EQ(gDeaths, 1);
  }
  EXPECT_EQ(gDeaths, 4);
}

TEST_F(DListTest, DestroyingAListWithALiveIterator) {
  DList* l = new DList(true);
  for (int i = 0; i < 3; ++i) l->append(new Rec(i));
  DListIterator it(*l);
  EXPECT_NE(it(), nullptr);
  delete l;
  EXPECT_EQ(gDeaths, 3);
  // The iterator knows its list is gone: no walk, no touching it.
  EXPECT_EQ(it.current(), nullptr);
  EXPECT_EQ(it(), nullptr);
  it.remove();
  EXPECT_EQ(it.extract(), nullptr);
  it.restart();
  EXPECT_EQ(it(), nullptr);
}

TEST_F(DListTest, IteratorsOfAListComeAndGoInAnyOrder) {
  Rec a(1), b(2);
  DList l;
  l.append(&a);
  l.append(&b);
  auto* first = new DListIterator(l);
  auto* second = new DListIterator(l);
  auto* third = new DListIterator(l);
  delete second;  // from the middle of the chain
  EXPECT_EQ((*first)(), &a);
  (*third)();
  l.remove(&b);  // both remaining iterators must hear of it
  EXPECT_EQ((*first)(), nullptr);
  EXPECT_EQ((*third)(), nullptr);
  delete first;
  delete third;
  l.empty();
}

}  // namespace

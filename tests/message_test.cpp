// SPDX-License-Identifier: Apache-2.0
// Messages, senders and receivers: what the reference model of
// fuzz/message_fuzz.cpp does not reach (its seeds drive relocation and
// registrations ended with messages pending). Copies of messages and
// records, refused removals, out of memory, callbacks that change
// registrations or destroy their own sender or receiver in the middle of a
// delivery, and polls inside polls. Delivery between threads under the
// owner's lock is the queue soak's (tests/soak/queue_soak.cpp).
#include <gtest/gtest.h>

#include "common/testutil.h"
#include "zkflow/flow/message.h"

namespace {

// A message that counts how many of its kind are alive.
struct CountedMessage : ZtMessage {
  static std::atomic<int> live;
  explicit CountedMessage(int type) : ZtMessage(type) { ++live; }
  ~CountedMessage() override { --live; }
};
std::atomic<int> CountedMessage::live{0};
zk::P<ZtMessage> msg(int type) { return zk::P<ZtMessage>(new CountedMessage(type)); }

using Log = std::vector<std::string>;

// Closure of the recording callback: each call appends "name:type".
struct Tag {
  Log* log;
  std::string name;
  int result = 0;
};
int record(void* closure, const zk::P<ZtMessage>& m) {
  auto* t = static_cast<Tag*>(closure);
  t->log->push_back(t->name + ":" + std::to_string(m->type()));
  return t->result;
}

// A callback that deletes the object its closure points at, once.
template <class T>
int destroy(void* closure, const zk::P<ZtMessage>&) {
  auto** p = static_cast<T**>(closure);
  delete *p;
  *p = nullptr;
  return 0;
}

// Registrations log into `log` through tags; every message is gone at the end.
class MessagingTest : public zktest::LiveTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(CountedMessage::live, 0);
    LiveTest::TearDown();
  }
  Log log;
  Tag a{&log, "a"}, b{&log, "b"};
};

}  // namespace

// A copy of a message starts its own reference count; a copy of a record
// takes the registration's fields, never its place in a list.
TEST_F(MessagingTest, CopiesOfMessagesAndRecords) {
  ZtMsgSender s;
  zk::P<ZtMessage> m(new ZtMessage(7)), other(new ZtMessage(9));
  m->sender(&s);
  m->tag = 42;
  zk::P<ZtMessage> copy(new ZtMessage(*m));
  *other = *m;
  for (const zk::P<ZtMessage>& c : {copy, other}) {
    EXPECT_EQ(c->refCount(), 2u);  // `c` and the list's copy
    EXPECT_EQ(std::make_tuple(c->type(), c->sender(), c->tag), std::make_tuple(7, &s, 42u));
  }
  EXPECT_EQ(m->refCount(), 1u);

  a.result = -17;
  ZtMsgCallbackRec none(s, nullptr, &a, 0), rec(s, &record, &a, 3);
  EXPECT_EQ(none.send(m), 0);
  ZtMsgCallbackRec recCopy(rec);
  none = rec;
  for (ZtMsgCallbackRec* c : {&rec, &recCopy, &none}) EXPECT_EQ(c->send(m), -17);  // the callback's result
  EXPECT_FALSE(recCopy.linked() || none.linked() || none.typeMatch(4));
  EXPECT_EQ(log, (Log{"a:7", "a:7", "a:7"}));
}

TEST_F(MessagingTest, EmptyMessageIsIgnored) {
  ZtMsgSender s;
  ZtMsgReceiver r;
  s.addReceiver(r, &record, &a, 0, false);
  s.send(zk::P<ZtMessage>());
  EXPECT_EQ(r.pendingCount(), 0u);
}

// A link record is not the owner's to remove, and buffering a receiver into
// its own links (an endless poll) is refused; removals naming nothing change
// nothing.
TEST_F(MessagingTest, RefusedRemovalsAndSelfBuffering) {
  ZtMsgReceiver r;
  ZtMsgSender s;
  s.addReceiver(r, &record, &a, 3, true);
  EXPECT_FALSE(s.removeReceiver(r, 5));
  EXPECT_FALSE(s.removeReceiver(static_cast<ZtMsgCallbackRec*>(nullptr)));
  auto* linkRec = static_cast<ZtMsgCallbackRec*>(r.links().records.first());
  EXPECT_FALSE(r.links().removeReceiver(linkRec));
  EXPECT_EQ(r.links().addReceiver(r, &record, &a, 0, false), nullptr);
  EXPECT_EQ(std::make_tuple(s.receiverCount(), r.links().receiverCount()), std::make_tuple(1u, 1u));
  EXPECT_TRUE(s.removeReceiver(r, 0));
  EXPECT_FALSE(r.hasServer());
}

// Every allocation of a registration failing in turn leaves nothing half
// made; a pending entry that cannot be made drops the message, not a count.
TEST_F(MessagingTest, OutOfMemoryLeavesNothingHalfMade) {
  auto* alloc = Utils::Allocator::defaultAllocator();
  ZtMsgReceiver r;
  ZtMsgSender s;
  for (uint64_t skip = 0; skip < 5; ++skip) {
    const bool direct = skip == 4;  // a buffered one makes four records
    zkflow::testing::failAllocations(direct ? 1 : skip, 1);
    EXPECT_EQ(s.addReceiver(r, &record, &a, 0, direct), nullptr) << skip;
    zkflow::testing::failAllocations(0, 0);
    EXPECT_EQ(s.receiverCount(), 0u);
    EXPECT_FALSE(r.hasServer());
  }
  ASSERT_NE(s.addReceiver(r, &record, &a, 0, false), nullptr);
  zk::P<ZtMessage> m = msg(1);
  zkflow::testing::failAllocations(0, 1);
  s.send(m);
  zkflow::testing::failAllocations(0, 0);
  EXPECT_EQ(r.pendingCount(), 0u);
  EXPECT_EQ(m->refCount(), 1u);
}

// A send reads the message's type once, and holds the message for the walk
// even when a callback lets go of the caller's only reference.
TEST_F(MessagingTest, TypeIsReadOnceAndMessageOutlivesTheWalk) {
  zk::P<ZtMessage> only = msg(3);
  auto retype = [](void* c, const zk::P<ZtMessage>& m) -> int {
    m->type(4);
    static_cast<zk::P<ZtMessage>*>(c)->release();
    return 0;
  };
  auto alive = [](void* c, const zk::P<ZtMessage>& m) -> int {
    static_cast<Log*>(c)->push_back(std::to_string(CountedMessage::live) + " alive, type " + std::to_string(m->type()));
    return 0;
  };
  Tag four{&log, "four"};
  ZtMsgReceiver r;
  ZtMsgSender s;
  s.addReceiver(r, retype, &only, 3, true);
  s.addReceiver(r, alive, &log, 3, true);
  s.addReceiver(r, &record, &four, 4, true);
  s.send(only);
  EXPECT_EQ(log, Log{"1 alive, type 4"});
}

// A callback removes itself and a later record and adds one during the
// walk: the walk goes on safely, and the buffered pair goes with its record.
TEST_F(MessagingTest, CallbacksChangeRegistrationsDuringTheWalk) {
  ZtMsgReceiver r;
  ZtMsgSender s;
  struct State {
    ZtMsgSender* s;
    ZtMsgReceiver* r;
    ZtMsgCallbackRec *self, *later;
    Tag* added;
  };
  Tag c{&log, "c"}, added{&log, "added"};
  State st{&s, &r, nullptr, nullptr, &added};
  auto churn = [](void* cl, const zk::P<ZtMessage>&) -> int {
    auto* st = static_cast<State*>(cl);
    EXPECT_TRUE(st->s->removeReceiver(st->later));
    EXPECT_TRUE(st->s->removeReceiver(st->self));
    st->s->addReceiver(*st->r, &record, st->added, 0, true);
    return 0;
  };
  s.addReceiver(r, &record, &b, 0, true);
  st.self = s.addReceiver(r, churn, &st, 0, true);
  st.later = s.addReceiver(r, &record, &c, 0, false);
  s.send(msg(2));
  // Whether a record appended behind a removed last record is still reached
  // is the list's business; it is reached at most once.
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "b:2");
  EXPECT_LE(log.size(), 2u);
  EXPECT_EQ(s.receiverCount(), 2u);
  EXPECT_EQ(r.links().receiverCount(), 2u);
  EXPECT_EQ(r.pendingCount(), 0u);
}

// A direct callback deletes its sender, or its receiver, in mid-send;
// nothing after it is reached through the dead object.
TEST_F(MessagingTest, CallbackDestroysItsSenderOrReceiver) {
  Tag after{&log, "after"};
  auto* s = new ZtMsgSender;
  ZtMsgReceiver r1, r2;
  s->addReceiver(r1, &destroy<ZtMsgSender>, &s, 0, true);
  s->addReceiver(r2, &record, &after, 0, true);
  s->addReceiver(r2, &record, &after, 0, false);
  s->send(msg(1));
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(r1.hasServer() || r2.hasServer());

  ZtMsgSender t;
  auto* victim = new ZtMsgReceiver;
  t.addReceiver(*victim, &destroy<ZtMsgReceiver>, &victim, 0, true);
  t.addReceiver(*victim, &record, &after, 0, true);
  t.addReceiver(*victim, &record, &after, 0, false);
  t.addReceiver(r1, &record, &after, 0, true);
  t.send(msg(2));
  EXPECT_EQ(log, Log{"after:2"});
  EXPECT_EQ(t.receiverCount(), 1u);
}

// A poll callback sends: the new message comes after those already waiting,
// in the same poll; a nested poll delivers the rest at once.
TEST_F(MessagingTest, SendAndPollFromAPollCallback) {
  ZtMsgReceiver r;
  ZtMsgSender s;
  struct State {
    Log* log;
    ZtMsgSender* s;
    ZtMsgReceiver* r;
    bool nestedPoll;
  } st{&log, &s, &r, false};
  auto echo = [](void* c, const zk::P<ZtMessage>& m) -> int {
    auto* st = static_cast<State*>(c);
    st->log->push_back(std::to_string(m->type()));
    if (m->type() == 1) {
      st->s->send(msg(10));
      if (st->nestedPoll) st->r->poll();
      st->log->push_back("back");
    }
    return 0;
  };
  s.addReceiver(r, echo, &st, 0, false);
  for (bool nested : {false, true}) {
    st.nestedPoll = nested;
    s.send(msg(1));
    s.send(msg(2));
    r.poll();
  }
  EXPECT_EQ(log, (Log{"1", "back", "2", "10", "1", "2", "10", "back"}));
  EXPECT_EQ(r.pendingCount(), 0u);
}

// A poll callback deletes its receiver (the rest is delivered by its
// destruction, and the outer poll stops touching it), or the sender whose
// messages are still pending (they arrive through the retired records).
TEST_F(MessagingTest, CallbacksDestroyDuringPoll) {
  Tag tail{&log, "tail"};
  ZtMsgSender s, s2;
  auto* r = new ZtMsgReceiver;
  auto killOnOne = [](void* c, const zk::P<ZtMessage>& m) -> int {
    return m->type() == 1 && *static_cast<ZtMsgReceiver**>(c) ? destroy<ZtMsgReceiver>(c, m) : 0;
  };
  s.addReceiver(*r, killOnOne, &r, 0, false);
  s2.addReceiver(*r, &record, &tail, 0, false);
  s.send(msg(1));
  s2.send(msg(2));
  ZtMsgReceiver* keepPtr = r;
  keepPtr->poll();
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(log, Log{"tail:2"});
  EXPECT_EQ(s.receiverCount() + s2.receiverCount(), 0u);

  log.clear();
  ZtMsgReceiver q;
  auto* t = new ZtMsgSender;
  t->addReceiver(q, &destroy<ZtMsgSender>, &t, 1, false);
  t->addReceiver(q, &record, &tail, 0, false);
  t->send(msg(1));  // queued by both registrations
  t->send(msg(2));
  q.poll();
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(log, (Log{"tail:1", "tail:1", "tail:2"}));
  EXPECT_FALSE(q.hasServer());
  EXPECT_EQ(q.links().receiverCount(), 0u);
}

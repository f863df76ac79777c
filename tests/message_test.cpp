// Messages, callback records, senders and receivers: delivery order and type
// matching, direct and buffered delivery, the two halves of every
// registration, reentrant callbacks, every order of destruction, relocation,
// copies, and message lifetimes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "kernel/flow/message.h"

namespace {

// A message that counts how many of its kind are alive.
struct CountedMessage : ZtMessage {
  static std::atomic<int> live;
  explicit CountedMessage(int type) : ZtMessage(type) { ++live; }
  ~CountedMessage() override { --live; }
};
std::atomic<int> CountedMessage::live{0};

// Closure of the recording callback: each call appends "name:type".
struct Tag {
  std::vector<std::string>* log;
  std::string name;
  int result = 0;
};

int record(void* closure, const P<ZtMessage>& m) {
  auto* t = static_cast<Tag*>(closure);
  t->log->push_back(t->name + ":" + std::to_string(m->type()));
  return t->result;
}

P<ZtMessage> msg(int type) { return P<ZtMessage>(new CountedMessage(type)); }

// Exposes the protected search and the buffered callback.
struct ProbeSender : ZtMsgSender {
  using ZtMsgSender::find;
};
struct ProbeReceiver : ZtMsgReceiver {
  using ZtMsgReceiver::bufCallback;
};

// Records of `s` that name `party`.
int naming(const ZtMsgSender& s, const ZtMsgReceiverBase* party) {
  int n = 0;
  for (DListRec* r = s.records.first(); r; r = s.records.next(r))
    if (static_cast<ZtMsgCallbackRec*>(r)->receiver() == party) ++n;
  return n;
}

std::vector<const ZtMsgCallbackRec*> recordsOf(const ZtMsgSender& s) {
  std::vector<const ZtMsgCallbackRec*> v;
  for (DListRec* r = s.records.first(); r; r = s.records.next(r)) v.push_back(static_cast<ZtMsgCallbackRec*>(r));
  return v;
}

using Log = std::vector<std::string>;

// ------------------------------------------------------------------ messages

class MessageTest : public zktest::LiveTest {};

TEST_F(MessageTest, DefaultsCopiesAndCounts) {
  ZtMessage plain;
  EXPECT_EQ(plain.type(), 0);
  EXPECT_EQ(plain.sender(), nullptr);
  ZtMessage five(5);
  EXPECT_EQ(five.type(), 5);
  EXPECT_EQ(five.sender(), nullptr);
  EXPECT_EQ(five.className(), ZtQueuePacket::thisClassName());

  ZtMsgSender s;
  P<ZtMessage> a(new ZtMessage(7));
  a->sender(&s);
  a->tag = 42;
  P<ZtMessage> b = a, c = a;
  EXPECT_EQ(a->refCount(), 3u);
  P<ZtMessage> copy(new ZtMessage(*a));
  EXPECT_EQ(copy->refCount(), 1u);  // the copy started at 0
  EXPECT_EQ(copy->type(), 7);
  EXPECT_EQ(copy->sender(), &s);
  EXPECT_EQ(copy->tag, 42u);

  P<ZtMessage> other(new ZtMessage(9));
  *other = *a;
  EXPECT_EQ(other->refCount(), 1u);
  EXPECT_EQ(a->refCount(), 3u);
  EXPECT_EQ(other->type(), 7);
  EXPECT_EQ(other->tag, 42u);
}

// ------------------------------------------------------------ callback records

TEST(CallbackRecTest, TypeMatch) {
  ZtMsgSender s;
  struct Case {
    int recType, msgType;
    bool match;
  } cases[] = {{0, 0, true}, {0, 9, true}, {0, -4, true}, {9, 0, true},   {7, 7, true},
               {7, 8, false}, {-1, -1, true}, {-1, 1, false}, {-2, 0, true}};
  for (const Case& c : cases) {
    ZtMsgCallbackRec rec(s, nullptr, nullptr, c.recType);
    EXPECT_EQ(rec.typeMatch(c.msgType), c.match) << c.recType << " vs " << c.msgType;
  }
}

TEST(CallbackRecTest, SendAndCopy) {
  Log log;
  Tag tag{&log, "a", -17};
  ZtMsgSender s;
  P<ZtMessage> m = msg(3);

  ZtMsgCallbackRec none(s, nullptr, &tag, 0);
  EXPECT_EQ(none.send(m), 0);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(m->refCount(), 1u);
  EXPECT_EQ(m->sender(), nullptr);

  ZtMsgCallbackRec rec(s, &record, &tag, 3);
  EXPECT_EQ(rec.send(m), -17);  // the callback's result, unchanged
  EXPECT_EQ(log, Log{"a:3"});

  // Copies take the registration's fields, never its place in a list.
  ZtMsgCallbackRec copy(rec);
  EXPECT_FALSE(copy.linked());
  EXPECT_EQ(copy.send(m), -17);
  none = rec;
  EXPECT_FALSE(none.typeMatch(4));
  EXPECT_EQ(none.send(m), -17);
}

// ------------------------------------------------------------------- senders

// Registrations log into `log` through tags; `a` and `b` serve most tests.
class MessagingTest : public zktest::LiveTest {
 protected:
  Log log;
  Tag a{&log, "a"}, b{&log, "b"};
};

class SenderTest : public MessagingTest {};

TEST_F(SenderTest, EmptySenderStampsAndDeliversNothing) {
  ZtMsgSender s;
  P<ZtMessage> m = msg(1);
  s.send(m);
  EXPECT_EQ(m->sender(), &s);
  EXPECT_EQ(m->refCount(), 1u);
  s.send(P<ZtMessage>());  // an empty P is ignored
  EXPECT_EQ(s.receiverCount(), 0u);
}

TEST_F(SenderTest, RegistrationOrderAndTypes) {
  {
    Tag c{&log, "c"}, d{&log, "d"};
    ZtMsgReceiver r1, r2;
    ZtMsgSender s;
    s.addReceiver(r1, &record, &a, 0, true);
    s.addReceiver(r2, &record, &b, 3, false);  // buffered, interleaved
    s.addReceiver(r1, &record, &c, 3, true);
    s.addReceiver(r2, &record, &d, 4, true);
    EXPECT_EQ(s.receiverCount(), 4u);

    s.send(msg(3));
    EXPECT_EQ(log, (Log{"a:3", "c:3"}));
    log.clear();
    s.send(msg(0));
    EXPECT_EQ(log, (Log{"a:0", "c:0", "d:0"}));
    log.clear();
    s.send(msg(-5));
    EXPECT_EQ(log, Log{"a:-5"});
    log.clear();
    EXPECT_EQ(r2.pendingCount(), 2u);  // type 3 and type 0 queued, not called
    r2.poll();
    EXPECT_EQ(log, (Log{"b:3", "b:0"}));
  }
  EXPECT_EQ(CountedMessage::live, 0);
}

TEST_F(SenderTest, DuplicatesAndRemoval) {
  ZtMsgReceiver r;
  ZtMsgSender s, t;
  s.addReceiver(r, &record, &a, 3, true);
  s.addReceiver(r, &record, &a, 3, true);
  EXPECT_EQ(s.receiverCount(), 2u);
  s.send(msg(3));
  EXPECT_EQ(log, (Log{"a:3", "a:3"}));
  EXPECT_EQ(naming(r.links(), &s), 2);

  EXPECT_TRUE(s.removeReceiver(r, 3));
  EXPECT_EQ(s.receiverCount(), 1u);
  EXPECT_EQ(naming(r.links(), &s), 1);
  log.clear();
  s.send(msg(3));
  EXPECT_EQ(log, Log{"a:3"});

  // Type 0 removes the first registration whatever its type.
  ZtMsgCallbackRec* four = s.addReceiver(r, &record, &b, 4, true);
  EXPECT_TRUE(s.removeReceiver(r, 0));
  EXPECT_EQ(recordsOf(s), std::vector<const ZtMsgCallbackRec*>{four});
  EXPECT_FALSE(s.removeReceiver(r, 5));

  // A record of another sender, a null one, a link record: refused.
  ZtMsgCallbackRec* theirs = t.addReceiver(r, &record, &b, 0, true);
  EXPECT_FALSE(s.removeReceiver(theirs));
  EXPECT_FALSE(s.removeReceiver(static_cast<ZtMsgCallbackRec*>(nullptr)));
  auto* linkRec = const_cast<ZtMsgCallbackRec*>(recordsOf(r.links()).front());
  EXPECT_FALSE(r.links().removeReceiver(linkRec));
  EXPECT_EQ(s.receiverCount(), 1u);
  EXPECT_EQ(t.receiverCount(), 1u);
  EXPECT_EQ(r.links().receiverCount(), 2u);

  EXPECT_TRUE(t.removeReceiver(theirs));
  EXPECT_TRUE(s.removeReceiver(four));
  EXPECT_FALSE(r.hasServer());
}

TEST_F(SenderTest, RecordLayoutOfDirectAndBuffered) {
  Tag a{&log, "A"}, b{&log, "B"};
  ZtMsgReceiver r;
  ProbeSender s1, s2;
  ZtMsgCallbackRec* direct = s1.addReceiver(r, &record, &a, 3, true);
  ZtMsgCallbackRec* buffered = s2.addReceiver(r, &record, &b, 0, false);
  ASSERT_TRUE(direct && buffered);
  EXPECT_EQ(direct->receiver(), &r);
  EXPECT_EQ(direct->closure(), &a);
  EXPECT_EQ(direct->msgType(), 3);
  EXPECT_EQ(buffered->receiver(), &r);
  EXPECT_NE(buffered->callback(), &record);
  EXPECT_EQ(buffered->closure(), &r);
  EXPECT_EQ(buffered->msgType(), 0);
  EXPECT_EQ(s1.find(&r, 3), direct);
  EXPECT_EQ(s1.find(&r, 4), nullptr);

  auto links = recordsOf(r.links());
  ASSERT_EQ(links.size(), 4u);
  const ZtMsgReceiverBase* parties[] = {&s1, &s2, &r.links(), &r};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(links[i]->receiver(), parties[i]) << i;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(links[i]->callback(), nullptr);
    EXPECT_EQ(links[i]->closure(), nullptr);
    EXPECT_EQ(links[i]->msgType(), 0);
  }
  EXPECT_EQ(links[3]->callback(), &record);
  EXPECT_EQ(links[3]->closure(), &b);

  // Ending the buffered registration at the sender takes out its link
  // record, self link and local record.
  EXPECT_TRUE(s2.removeReceiver(buffered));
  links = recordsOf(r.links());
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0]->receiver(), &s1);
  EXPECT_TRUE(r.hasServer());
  EXPECT_TRUE(s1.removeReceiver(direct));
  EXPECT_FALSE(r.hasServer());

  // Buffering a receiver into its own links would make poll endless.
  EXPECT_EQ(r.links().addReceiver(r, &record, &a, 0, false), nullptr);
  EXPECT_FALSE(r.hasServer());
}

TEST_F(SenderTest, TypeIsReadOnceAndMessageOutlivesTheWalk) {
  struct State {
    Log* log;
    P<ZtMessage> only;  // the only holder besides the walk
  } st{&log, msg(3)};
  auto retype = [](void* c, const P<ZtMessage>& m) -> int {
    auto* s = static_cast<State*>(c);
    m->type(4);
    s->only.release();  // the walk's copy keeps the message alive
    return 0;
  };
  Tag three{&log, "three"}, four{&log, "four"};
  ZtMsgReceiver r;
  ZtMsgSender s;
  s.addReceiver(r, retype, &st, 3, true);
  s.addReceiver(r, &record, &three, 3, true);
  s.addReceiver(r, &record, &four, 4, true);
  ZtMessage* raw = st.only.get();
  s.send(P<ZtMessage>(raw));  // a temporary P: the caller lets go after the call
  // The second record still matched on type 3 and saw the changed type; the
  // type-4 record was not reached.
  EXPECT_EQ(log, Log{"three:4"});
  EXPECT_EQ(CountedMessage::live, 0);
}

TEST_F(SenderTest, NestedSendRunsToItsEndFirst) {
  struct State {
    Log* log;
    ZtMsgSender* s;
    ZtMsgSender* other;
    int depth = 0;
  };
  ZtMsgReceiver r;
  ZtMsgSender s, other;
  State st{&log, &s, &other};
  auto nest = [](void* c, const P<ZtMessage>& m) -> int {
    auto* st = static_cast<State*>(c);
    st->log->push_back("nest:" + std::to_string(m->type()));
    if (st->depth++ == 0) {
      st->s->send(msg(0));
      EXPECT_EQ(m->sender(), st->s);
      st->other->send(m);  // restamps the outer message
    }
    return 0;
  };
  Tag tail{&log, "tail"}, side{&log, "side"};
  s.addReceiver(r, nest, &st, 0, true);
  s.addReceiver(r, &record, &tail, 0, true);
  other.addReceiver(r, &record, &side, 0, true);
  P<ZtMessage> m = msg(1);
  s.send(m);
  EXPECT_EQ(log, (Log{"nest:1", "nest:0", "tail:0", "side:1", "tail:1"}));
  EXPECT_EQ(m->sender(), &other);
}

TEST_F(SenderTest, CallbacksChangeRegistrationsDuringTheWalk) {
  ZtMsgReceiver r;
  ZtMsgSender s;
  struct State {
    ZtMsgSender* s;
    ZtMsgReceiver* r;
    ZtMsgCallbackRec* self = nullptr;
    ZtMsgCallbackRec* later = nullptr;
    Tag* added;
  };
  Tag c{&log, "c"}, added{&log, "added"};
  State st{&s, &r, nullptr, nullptr, &added};
  auto churn = [](void* cl, const P<ZtMessage>&) -> int {
    auto* st = static_cast<State*>(cl);
    EXPECT_TRUE(st->s->removeReceiver(st->later));  // a later record
    EXPECT_TRUE(st->s->removeReceiver(st->self));   // the record calling us
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
  EXPECT_EQ(naming(r.links(), &s), 2);
  EXPECT_EQ(r.links().receiverCount(), 2u);  // the buffered pair went too
  EXPECT_EQ(r.pendingCount(), 0u);
}

TEST_F(SenderTest, CallbackDestroysItsSenderOrReceiver) {
  {
    Tag after{&log, "after"};
    // The sender, from inside its own send.
    auto* s = new ZtMsgSender;
    ZtMsgReceiver r1, r2;
    auto killSender = [](void* c, const P<ZtMessage>& m) -> int {
      EXPECT_EQ(m->type(), 1);
      delete *static_cast<ZtMsgSender**>(c);
      EXPECT_EQ(m->type(), 1);  // still alive: the walk holds it
      return 0;
    };
    s->addReceiver(r1, killSender, &s, 0, true);
    s->addReceiver(r2, &record, &after, 0, true);
    s->addReceiver(r2, &record, &after, 0, false);
    s->send(msg(1));
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(r1.hasServer());
    EXPECT_FALSE(r2.hasServer());

    // The receiver, from inside a direct callback.
    ZtMsgSender t;
    auto* victim = new ZtMsgReceiver;
    auto killReceiver = [](void* c, const P<ZtMessage>&) -> int {
      delete *static_cast<ZtMsgReceiver**>(c);
      return 0;
    };
    t.addReceiver(*victim, killReceiver, &victim, 0, true);
    t.addReceiver(*victim, &record, &after, 0, true);
    t.addReceiver(*victim, &record, &after, 0, false);
    t.addReceiver(r1, &record, &after, 0, true);
    t.send(msg(2));
    EXPECT_EQ(log, Log{"after:2"});
    EXPECT_EQ(t.receiverCount(), 1u);
  }
  EXPECT_EQ(CountedMessage::live, 0);
}

TEST_F(SenderTest, RelocateMovesMatchingRecords) {
  Tag t0{&log, "t0"}, t3{&log, "t3"}, t4{&log, "t4"}, b4{&log, "b4"};
  ZtMsgReceiver r1, r2;
  ZtMsgSender other, s;
  other.addReceiver(r1, &record, &t0, 0, true);
  other.addReceiver(r1, &record, &t3, 3, true);
  other.addReceiver(r2, &record, &t4, 4, true);
  other.addReceiver(r2, &record, &b4, 4, false);
  s.relocate(other, 4);
  EXPECT_EQ(s.receiverCount(), 3u);
  EXPECT_EQ(other.receiverCount(), 1u);
  EXPECT_EQ(naming(r1.links(), &s), 1);
  EXPECT_EQ(naming(r1.links(), &other), 1);
  EXPECT_EQ(naming(r2.links(), &s), 2);
  EXPECT_EQ(naming(r2.links(), &other), 0);

  s.send(msg(0));
  other.send(msg(0));
  r2.poll();
  EXPECT_EQ(log, (Log{"t0:0", "t4:0", "t3:0", "b4:0"}));

  s.relocate(s, 0);  // onto itself: nothing
  EXPECT_EQ(s.receiverCount(), 3u);
}

TEST_F(SenderTest, EmptyEndsBothHalves) {
  ZtMsgReceiver r1, r2;
  {
    ZtMsgSender s;
    s.addReceiver(r1, &record, &a, 0, true);
    s.addReceiver(r2, &record, &a, 0, false);
    s.empty();
    EXPECT_EQ(s.receiverCount(), 0u);
    EXPECT_FALSE(r1.hasServer());
    EXPECT_FALSE(r2.hasServer());
    EXPECT_EQ(r2.links().receiverCount(), 0u);
  }
}

TEST_F(SenderTest, CopyStartsEmptyAssignmentMoves) {
  Tag old{&log, "old"};
  ZtMsgReceiver r1, r2, r3;
  ZtMsgSender s;
  s.addReceiver(r1, &record, &a, 0, true);
  s.addReceiver(r2, &record, &b, 0, false);
  ZtMsgSender copy(s);
  EXPECT_EQ(copy.receiverCount(), 0u);
  EXPECT_EQ(s.receiverCount(), 2u);

  ZtMsgSender target;
  target.addReceiver(r3, &record, &old, 0, true);
  target = s;
  EXPECT_EQ(s.receiverCount(), 0u);
  EXPECT_EQ(target.receiverCount(), 2u);
  EXPECT_FALSE(r3.hasServer());
  EXPECT_EQ(naming(r1.links(), &target), 1);
  EXPECT_EQ(naming(r1.links(), &s), 0);
  EXPECT_EQ(naming(r2.links(), &target), 1);
  target.send(msg(6));
  s.send(msg(7));
  r2.poll();
  EXPECT_EQ(log, (Log{"a:6", "b:6"}));
}

TEST_F(SenderTest, OutOfMemoryLeavesNothingHalfMade) {
  auto* alloc = Utils::Allocator::defaultAllocator();
  {
    ZtMsgReceiver r;
    ZtMsgSender s;
    // Every allocation of a registration, failing in turn: the buffered one
    // makes four records.
    for (uint64_t skip = 0; skip < 4; ++skip) {
      alloc->failAfter(skip, 1);
      EXPECT_EQ(s.addReceiver(r, &record, &a, 0, false), nullptr) << skip;
      alloc->failAfter(0, 0);
      EXPECT_EQ(s.receiverCount(), 0u);
      EXPECT_FALSE(r.hasServer());
    }
    alloc->failAfter(1, 1);
    EXPECT_EQ(s.addReceiver(r, &record, &a, 0, true), nullptr);
    alloc->failAfter(0, 0);
    EXPECT_FALSE(r.hasServer());
    ASSERT_NE(s.addReceiver(r, &record, &a, 0, false), nullptr);
    P<ZtMessage> m = msg(1);
    alloc->failAfter(0, 1);  // the pending entry cannot be made
    s.send(m);
    alloc->failAfter(0, 0);
    EXPECT_EQ(r.pendingCount(), 0u);
    EXPECT_EQ(m->refCount(), 1u);
  }
}

// ----------------------------------------------------------------- receivers

class ReceiverTest : public MessagingTest {};

TEST_F(ReceiverTest, BufferedDeliveryOnPoll) {
  ZtMsgReceiver fresh;
  EXPECT_FALSE(fresh.hasServer());
  fresh.poll();
  EXPECT_EQ(fresh.pendingCount(), 0u);

  struct Seen {
    Log* log;
    ZtMsgReceiver* r;
  };
  ZtMsgReceiver r;
  Seen seen{&log, &r};
  auto check = [](void* c, const P<ZtMessage>& m) -> int {
    auto* s = static_cast<Seen*>(c);
    EXPECT_EQ(m->sender(), &s->r->links());
    s->log->push_back("A:" + std::to_string(m->type()));
    return 0;
  };
  Tag b{&log, "B"};
  ZtMsgSender s1, s2;
  s1.addReceiver(r, check, &seen, 0, false);
  s2.addReceiver(r, &record, &b, 0, false);
  s1.send(msg(1));
  s2.send(msg(2));
  s1.send(msg(3));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(r.pendingCount(), 3u);
  EXPECT_EQ(CountedMessage::live, 3);
  r.poll();
  // Oldest first, whichever sender queued it; every local record takes it.
  EXPECT_EQ(log, (Log{"A:1", "B:1", "A:2", "B:2", "A:3", "B:3"}));
  EXPECT_EQ(r.pendingCount(), 0u);
  EXPECT_EQ(CountedMessage::live, 0);

  // An empty P is not queued.
  EXPECT_EQ(ProbeReceiver::bufCallback(&r, P<ZtMessage>()), 0);
  EXPECT_EQ(r.pendingCount(), 0u);
}

TEST_F(ReceiverTest, OneMessageTwoReceivers) {
  ZtMsgReceiver r1, r2;
  ZtMsgSender s;
  s.addReceiver(r1, &record, &a, 0, false);
  s.addReceiver(r2, &record, &b, 0, false);
  s.send(msg(5));
  EXPECT_EQ(CountedMessage::live, 1);
  r1.poll();
  EXPECT_EQ(CountedMessage::live, 1);
  r2.poll();
  EXPECT_EQ(CountedMessage::live, 0);
  EXPECT_EQ(log, (Log{"a:5", "b:5"}));
}

TEST_F(ReceiverTest, SendAndPollFromAPollCallback) {
  ZtMsgReceiver r;
  ZtMsgSender s;
  struct State {
    Log* log;
    ZtMsgSender* s;
    ZtMsgReceiver* r;
    bool nestedPoll;
  };
  State st{&log, &s, &r, false};
  auto echo = [](void* c, const P<ZtMessage>& m) -> int {
    auto* st = static_cast<State*>(c);
    st->log->push_back(std::to_string(m->type()));
    if (m->type() == 1) {
      st->s->send(msg(10));
      if (st->nestedPoll) st->r->poll();  // delivers the rest now
      st->log->push_back("back");
    }
    return 0;
  };
  s.addReceiver(r, echo, &st, 0, false);
  s.send(msg(1));
  s.send(msg(2));
  r.poll();
  // The new message comes after those already waiting, in the same poll.
  EXPECT_EQ(log, (Log{"1", "back", "2", "10"}));
  EXPECT_EQ(r.pendingCount(), 0u);

  log.clear();
  st.nestedPoll = true;
  s.send(msg(1));
  s.send(msg(2));
  r.poll();
  EXPECT_EQ(log, (Log{"1", "2", "10", "back"}));
  EXPECT_EQ(CountedMessage::live, 0);
}

TEST_F(ReceiverTest, LinksRemoveReceiverTakesALocalPair) {
  ZtMsgReceiver r;
  ZtMsgSender s;
  s.addReceiver(r, &record, &a, 3, false);
  s.addReceiver(r, &record, &b, 4, false);
  EXPECT_EQ(r.links().receiverCount(), 6u);
  EXPECT_TRUE(r.links().removeReceiver(r, 4));
  EXPECT_EQ(r.links().receiverCount(), 4u);
  EXPECT_EQ(naming(r.links(), &r.links()), 1);
  s.send(msg(4));
  s.send(msg(3));
  r.poll();
  EXPECT_EQ(log, Log{"a:3"});
  // The sender's side of the type-4 registration still queues; ending it
  // now takes its link record only (its pair is gone already).
  EXPECT_TRUE(s.removeReceiver(r, 4));
  EXPECT_EQ(r.links().receiverCount(), 3u);
}

TEST_F(ReceiverTest, SenderGoneWithMessagesPending) {
  {
    ZtMsgReceiver r;
    ZtMsgSender keep;
    keep.addReceiver(r, &record, &b, 0, false);
    {
      ZtMsgSender s;
      s.addReceiver(r, &record, &a, 0, false);
      s.send(msg(1));
      s.send(msg(2));
    }
    EXPECT_EQ(naming(r.links(), &keep), 1);
    EXPECT_EQ(r.pendingCount(), 2u);
    EXPECT_TRUE(r.hasServer());  // through `keep` only
    keep.send(msg(3));           // queued after the registration ended
    r.poll();
    // What the gone registration queued still reaches its callback; what was
    // queued later does not.
    EXPECT_EQ(log, (Log{"b:1", "a:1", "b:2", "a:2", "b:3"}));
    EXPECT_EQ(r.links().receiverCount(), 3u);  // keep's three; the retired pair left

    keep.removeReceiver(r, 0);
    EXPECT_FALSE(r.hasServer());
    EXPECT_EQ(r.links().receiverCount(), 0u);

    // Ended with nothing pending: the pair goes at once.
    {
      ZtMsgSender s;
      s.addReceiver(r, &record, &a, 0, false);
    }
    EXPECT_EQ(r.links().receiverCount(), 0u);

    // Ended with messages pending and the receiver destroyed before polling.
    auto* r2 = new ZtMsgReceiver;
    {
      ZtMsgSender s;
      s.addReceiver(*r2, &record, &a, 0, false);
      s.send(msg(4));
      EXPECT_TRUE(s.removeReceiver(*r2, 0));
      EXPECT_FALSE(r2->hasServer());
    }
    log.clear();
    delete r2;
    EXPECT_EQ(log, Log{"a:4"});
  }
  EXPECT_EQ(CountedMessage::live, 0);
}

TEST_F(ReceiverTest, CallbacksDestroyDuringPoll) {
  {
    Tag tail{&log, "tail"};
    // The receiver, from its own poll: the rest is delivered by its
    // destruction, and the outer poll stops touching it (the message it was
    // delivering does not reach the later local record).
    ZtMsgSender s, s2;
    auto* r = new ZtMsgReceiver;
    auto killReceiver = [](void* c, const P<ZtMessage>& m) -> int {
      auto** rp = static_cast<ZtMsgReceiver**>(c);
      if (m->type() == 1 && *rp) {
        ZtMsgReceiver* doomed = *rp;
        *rp = nullptr;
        delete doomed;
      }
      return 0;
    };
    s.addReceiver(*r, killReceiver, &r, 0, false);
    s2.addReceiver(*r, &record, &tail, 0, false);
    s.send(msg(1));
    s2.send(msg(2));
    ZtMsgReceiver* keepPtr = r;
    keepPtr->poll();
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(log, Log{"tail:2"});
    EXPECT_EQ(s.receiverCount(), 0u);
    EXPECT_EQ(s2.receiverCount(), 0u);

    // A sender, from a poll callback, with more of its messages waiting.
    log.clear();
    ZtMsgReceiver q;
    auto* t = new ZtMsgSender;
    auto killSender = [](void* c, const P<ZtMessage>&) -> int {
      auto** sp = static_cast<ZtMsgSender**>(c);
      delete *sp;
      *sp = nullptr;
      return 0;
    };
    t->addReceiver(q, killSender, &t, 1, false);
    t->addReceiver(q, &record, &tail, 0, false);
    t->send(msg(1));  // queued by both registrations
    t->send(msg(2));
    q.poll();
    EXPECT_EQ(t, nullptr);
    // The registrations ended while their messages were pending: those still
    // arrive, through the retired local records.
    EXPECT_EQ(log, (Log{"tail:1", "tail:1", "tail:2"}));
    EXPECT_FALSE(q.hasServer());
    EXPECT_EQ(q.links().receiverCount(), 0u);
  }
  EXPECT_EQ(CountedMessage::live, 0);
}

TEST_F(ReceiverTest, EveryDestructionOrder) {
  // Two senders, two receivers, registered every way, messages pending in
  // both receivers; then the four destroyed in each of the 24 orders.
  std::array<int, 4> order{0, 1, 2, 3};
  int runs = 0;
  do {
    Log log;
    Tag a{&log, "a"}, b{&log, "b"};
    auto* s1 = new ZtMsgSender;
    auto* s2 = new ZtMsgSender;
    auto* r1 = new ZtMsgReceiver;
    auto* r2 = new ZtMsgReceiver;
    s1->addReceiver(*r1, &record, &a, 0, true);
    s1->addReceiver(*r1, &record, &b, 0, false);
    s1->addReceiver(*r2, &record, &a, 5, false);
    s2->addReceiver(*r2, &record, &b, 0, true);
    s2->addReceiver(*r1, &record, &a, 0, false);
    s2->addReceiver(*r2, &record, &b, 0, false);
    r1->links().addReceiver(*r2, &record, &a, 0, false);  // a receiver's links as a sender
    s1->send(msg(5));
    s2->send(msg(6));
    r1->links().send(msg(7));
    for (int who : order) {
      switch (who) {
        case 0: delete s1; s1 = nullptr; break;
        case 1: delete s2; s2 = nullptr; break;
        case 2: delete r1; r1 = nullptr; break;
        case 3: delete r2; r2 = nullptr; break;
      }
      if (s1) {
        s1->send(msg(8));
        EXPECT_EQ(s1->receiverCount(), (r1 ? 2u : 0u) + (r2 ? 1u : 0u));
      }
      if (r1) EXPECT_EQ(naming(r1->links(), s2), s2 ? 1 : 0);
      if (r2) EXPECT_EQ(naming(r2->links(), s1), s1 ? 1 : 0);
    }
    // Every message queued before a receiver went was delivered by it.
    EXPECT_GE(std::count(log.begin(), log.end(), "b:6"), 1);
    EXPECT_EQ(CountedMessage::live, 0);
    ++runs;
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(runs, 24);
}

TEST_F(ReceiverTest, CompleteRelocate) {
  Tag d{&log, "d"}, t{&log, "third"};
  ProbeSender s1, s2;
  auto* from = new ZtMsgReceiver;
  ZtMsgReceiver to, third;
  s1.addReceiver(*from, &record, &d, 0, true);
  s2.addReceiver(*from, &record, &b, 0, false);
  from->links().addReceiver(third, &record, &t, 0, true);
  s2.send(msg(1));  // pending in `from`

  to.relocate(*from, 0);
  EXPECT_FALSE(from->hasServer());
  EXPECT_EQ(from->pendingCount(), 0u);
  EXPECT_EQ(to.pendingCount(), 1u);
  EXPECT_EQ(naming(s1, from), 0);
  EXPECT_EQ(naming(s1, &to), 1);
  EXPECT_EQ(naming(s2, &to), 1);
  EXPECT_EQ(s2.find(&to, 0)->closure(), &to);
  EXPECT_EQ(naming(to.links(), &to.links()), 1);  // the self link
  EXPECT_EQ(naming(to.links(), &to), 1);          // the local record
  EXPECT_EQ(naming(third.links(), &to.links()), 1);
  delete from;  // nothing names it any more

  to.poll();
  s1.send(msg(2));
  s2.send(msg(3));
  to.links().send(msg(4));
  to.poll();
  // The record that `to`'s links hold for `third` is reached by every
  // message sent through them, polled ones included.
  EXPECT_EQ(log, (Log{"b:1", "third:1", "d:2", "b:4", "third:4", "b:3", "third:3"}));
}

TEST_F(ReceiverTest, PartialRelocateSplitsRegistrationsAndPending) {
  {
    Tag three{&log, "three"}, four{&log, "four"};
    ZtMsgSender sa, sb;
    ZtMsgReceiver from, to;
    sa.addReceiver(from, &record, &three, 3, false);
    sb.addReceiver(from, &record, &four, 4, false);
    sa.send(msg(3));
    sb.send(msg(4));
    sa.send(msg(0));  // both local records take it
    to.relocate(from, 3);
    EXPECT_EQ(naming(sa, &to), 1);
    EXPECT_EQ(naming(sb, &from), 1);
    EXPECT_EQ(from.links().receiverCount(), 3u);
    EXPECT_EQ(to.links().receiverCount(), 3u);
    EXPECT_EQ(to.pendingCount(), 2u);    // 3 and 0
    EXPECT_EQ(from.pendingCount(), 2u);  // 4 and 0
    from.poll();
    to.poll();
    EXPECT_EQ(log, (Log{"four:4", "four:0", "three:3", "three:0"}));
  }
  EXPECT_EQ(CountedMessage::live, 0);
}

TEST_F(ReceiverTest, CopyStartsUnregisteredAssignmentMoves) {
  Tag old{&log, "old"};
  ZtMsgSender s, t;
  ZtMsgReceiver r;
  s.addReceiver(r, &record, &a, 0, false);
  s.send(msg(1));
  ZtMsgReceiver copy(r);
  EXPECT_FALSE(copy.hasServer());
  EXPECT_EQ(copy.pendingCount(), 0u);
  EXPECT_EQ(r.pendingCount(), 1u);

  ZtMsgReceiver target;
  t.addReceiver(target, &record, &old, 0, false);
  t.send(msg(2));
  target = r;
  EXPECT_EQ(log, Log{"old:2"});  // delivered before its registration ended
  EXPECT_EQ(t.receiverCount(), 0u);
  EXPECT_FALSE(r.hasServer());
  EXPECT_EQ(naming(s, &target), 1);
  s.send(msg(3));
  target.poll();
  EXPECT_EQ(log, (Log{"old:2", "a:1", "a:3"}));

  // The links of two receivers assign as the receivers do.
  ZtMsgReceiver last;
  last.links() = target.links();
  EXPECT_EQ(naming(s, &last), 1);
  EXPECT_FALSE(target.hasServer());
}

TEST_F(ReceiverTest, PolledOnAnotherThread) {
  {
    // The owner's lock serialises sends, polls and destruction; the messages
    // are made on one thread and released on the other.
    std::mutex mu;
    ZtMsgSender s;
    ZtMsgReceiver r;
    long received = 0, sum = 0;
    struct Sink {
      long* received;
      long* sum;
    } sink{&received, &sum};
    auto take = [](void* c, const P<ZtMessage>& m) -> int {
      auto* k = static_cast<Sink*>(c);
      ++*k->received;
      *k->sum += m->type();
      return 0;
    };
    s.addReceiver(r, take, &sink, 0, false);
    const long n = zktest::scaled(20000);
    zktest::BoundedThread producer([&] {
      for (long i = 1; i <= n; ++i) {
        std::lock_guard<std::mutex> hold(mu);
        s.send(msg(static_cast<int>(i)));
      }
    });
    bool done = zktest::waitFor(
        [&] {
          std::lock_guard<std::mutex> hold(mu);
          r.poll();
          return received == n;
        },
        30.0);
    EXPECT_TRUE(done);
    EXPECT_TRUE(producer.join());
    EXPECT_EQ(sum, n * (n + 1) / 2);
  }
  EXPECT_EQ(CountedMessage::live, 0);
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// Bad input to the public operations: null pointers, indexes past the tables,
// offsets past a packet's end, zero and negative rates, calls out of order.
// Each gets a clear answer (false, null, 0 or a log line), changes nothing it
// should not, and frees what it was given to keep. Cases that other test
// files show are listed in docs/bad-input.md, not here.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/flowtasks.h"
#include "common/testutil.h"
#include "zkflow/host/string.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowfork.h"
#include "zkflow/flow/flowtask.h"
#include "zkflow/flow/message.h"

namespace {

using zktest::LogCapture;
using zktest::makeDataPacket;

// One row: what is called, with what, and whether the answer was the clear one.
struct Case {
  const char* op;
  const char* input;
  std::function<bool()> clear;
};

void runTable(const std::vector<Case>& table) {
  for (const Case& c : table) {
    zktest::LiveCount live;
    EXPECT_TRUE(c.clear()) << c.op << " given " << c.input;
    live.expectBack(1.0);
  }
}

// A task for the calls that need no loop; its name may be null.
struct Idle : zktest::CountingTask {
  Idle() : CountingTask(zktest::Rate{}) {}
  ~Idle() override { stop(); }
  const char* taskName() const override { return nullptr; }
  unsigned int taskHandleFlow(unsigned int, unsigned int, ZtFlowPacket**, ZtFlowEmitFn) override { return 0; }
};

TEST(BadInput, Packets) {
  runTable({
      {"ZtFlowPacket::drop", "null", [] { return ZtFlowPacket::drop(nullptr), true; }},
      {"ZtFlowDataPacket::data", "no stored packet", [] {
         ZtFlowDataPacket p;
         p.dSize(5);
         return p.data() == nullptr;
       }},
      {"ZtPacket::writeAt", "offset or count past the end, null buffer", [] {
         ZtPacket p(8u);
         std::memset(p.data(), 'x', 8);
         p.modified(false);
         const bool none = p.writeAt(8, "ab", 2) == 0 && p.modified();  // marks all the same
         const bool ok = p.writeAt(0xFFFFFFFFu, "ab", 2) == 0 && p.writeAt(6, "abcd", 0xFFFFFFFFu) == 2 &&
                         p.writeAt(0, nullptr, 4) == 0;
         return none && ok && std::string(p.data(), 8) == "xxxxxxab";
       }},
      {"ZtPacket::readAt", "offset or count past the end, null buffer", [] {
         ZtPacket p(8u);
         std::memcpy(p.data(), "abcdefgh", 8);
         p.modified(false);
         char d[12] = "-----------";
         const bool ok = p.readAt(8, d, 4) == 0 && d[0] == '-' && p.readAt(6, d, 4) == 2 &&
                         p.readAt(2, d + 2, 0xFFFFFFFFu) == 6 && p.readAt(0, nullptr, 4) == 0;
         return ok && std::string(d, 9) == "ghcdefgh-" && !p.modified();
       }},
  });
}

TEST(BadInput, ListsAndFlows) {
  runTable({
      {"ZtFlowBase add / append, ZtFlow write / append / writeNonBlocking / appendNonBlocking", "null packet", [] {
         ZtFlowBase l;
         ZtFlow f;
         unsigned int pos = 7;
         l.add(nullptr);
         l.append(nullptr, &pos);
         f.write(nullptr);
         f.append(nullptr, &pos);
         f.writeNonBlocking(nullptr);
         f.appendNonBlocking(nullptr, &pos);
         return l.isEmpty() && f.isEmpty() && pos == 7;
       }},
      {"ZtFlow::appendNonBlocking", "null running position", [] {
         ZtFlow f;
         ZtFlowDataPacket* p = makeDataPacket(0, 0, 10);
         p->pos(30);
         f.appendNonBlocking(p, nullptr);  // stays at its own position
         unsigned int at = 30;
         ZtFlowPacket* got = f.read(at);
         const bool ok = got && got->pos() == 30 && f.size() == 10;
         return ZtFlowPacket::drop(got), ok;
       }},
      {"ZtFlowBase::apply", "null function", [] {
         ZtFlowBase l;
         l.add(makeDataPacket(0, 0, 4));
         l.apply(nullptr, nullptr);
         return l.size() == 4;
       }},
  });
}

TEST(BadInput, UnitsTasksAndForks) {
  runTable({
      {"ZtFlowUnit input / output", "an index of 4 or more", [] {
         Idle t;
         ZtFlow f;
         t.input(4, &f);
         t.output(7, &f);
         return t.input(4) == nullptr && t.output(100) == nullptr && t.inputCount() == 0;
       }},
      {"ZtFlowTask flowPosIn / flowPosOut / flowPosOutAddr", "an index of 4 or more", [] {
         Idle t;
         t.flowPosIn(4, 99);
         t.flowPosOut(9, 99);
         return t.flowPosIn(4) == 0 && t.flowPosOut(5) == 0 && t.flowPosOutAddr(4) == nullptr;
       }},
      {"ZtFlowTask::flowEmitter", "null task, output index 4, no output flow", [] {
         Idle t;
         ZtFlowTask::flowEmitter(nullptr, 0, makeDataPacket(0, 0, 4));
         ZtFlowTask::flowEmitter(&t, 4, makeDataPacket(0, 0, 4));
         ZtFlowTask::flowEmitter(&t, 0, makeDataPacket(0, 0, 4));
         ZtFlowTask::flowEmitter(&t, 0, nullptr);
         return t.flowPosOut(0) == 0;  // and the packets are freed (live count)
       }},
      {"ZtFlowTask flush / emitFlush", "null emit function", [] {
         ZtFlow out;
         Idle t;
         t.addOutput(&out);
         t.flush(nullptr);
         t.emitFlush(nullptr);
         return out.isEmpty() && t.flushes.load() == 1;
       }},
      {"ZtFlowTask name / start", "a taskName() of null", [] {
         LogCapture log;
         Idle t;
         t.granularity(6);
         const bool ok = t.name() == nullptr && t.shortName[0] == 0 && !t.start();
         return ok && log.count(" not started: granularity is not a power of two (6)") == 1;
       }},
      {"ZtFlowTask::start", "a chunk of 0: 50/s for 0.01 s, 2^32 - 1/s for 1 s (wraps), 0/s", [] {
         LogCapture log;
         Idle t;
         t.clockRegulated(true);
         t.rate = zktest::Rate{50, 655, 655};
         bool ok = !t.start();
         t.rate = zktest::Rate{0xFFFFFFFFu, 65536, 65536};
         ok = ok && !t.start() && t.inits.load() == 0;  // refused before any loop ran
         t.clockRegulated(false);
         t.rate = zktest::Rate{0};
         ok = ok && !t.start() && !t.started();  // after a run, stopped: its consumers saw the end
         return ok && log.count(" not started: a cycle's chunk comes to 0 positions (0)") == 2 &&
                log.count(" not started: a cycle's chunk comes to 0 positions (4294967295)") == 1;
       }},
      {"ZtFlowTask addInput / addOutput / outputPolicy", "a running task (not immortal), output 4", [] {
         LogCapture log;
         ZtFlow a, b;
         Idle t;
         t.virtualInput(true);  // a source that makes nothing: it runs until stopped
         t.outputPolicy(4, ZtFlowTask::OutputPolicy::Block);
         const bool ok = t.start() && !t.addInput(&a) && !t.addOutput(&b) && t.inputCount() == 0;
         t.outputPolicy(1, ZtFlowTask::OutputPolicy::Block);
         t.stop();
         return ok && t.outputCount() == 0 && t.outputPolicy(1) == ZtFlowTask::OutputPolicy::Trim &&
                log.count(" addInput refused: the task is running and not immortal") == 1 &&
                log.count(" addOutput refused: the task is started") == 1 &&
                log.count(" outputPolicy refused: ") == 2 && a.consumer() == nullptr;
       }},
      {"ZtFlowTask::sleepTest", "a negative durationMax", [] {
         ZtFlow out;
         Idle t;
         t.addOutput(&out);
         out.writeNonBlocking(makeDataPacket(0, 0, 1000));
         t.rateInfo().dataRate(10);
         t.rateInfo().durationMax(Utils::Time::fromRaw(-65536));
         return !t.sleepTest();
       }},
      {"ZtFlowTask addInput / addOutput", "null, a fifth flow", [] {
         ZtFlow f[5];
         Idle t;
         for (int i = 0; i < 4; ++i) t.addInput(&f[i]), t.addOutput(&f[i]);
         return !t.addInput(&f[4]) && !t.addOutput(&f[4]) && !t.addInput(nullptr) && !t.addOutput(nullptr) &&
                f[4].consumer() == nullptr && f[4].producer() == nullptr;
       }},
      {"ZtFlowTask stop / seek", "never started / taskSeek refusing", [] {
         struct NoSeek : Idle {
           bool taskSeek(unsigned int&) override { return false; }
         } t;
         t.stop();
         return !t.seek(40) && t.flowPosIn(0) == 0 && !t.started() && !t.done() && !t.shutdown();
       }},
      {"ZtFlowFork(input, ...)", "five output flows", [] {
         LogCapture log;
         ZtFlow in, o[5];
         ZtFlowFork fork(&in, &o[0], &o[1], &o[2], &o[3], &o[4], nullptr);
         return fork.outputCount() == 4 && o[3].producer() == &fork && o[4].producer() == nullptr &&
                log.count("flow fork output refused: a fork has at most 4 outputs") == 1;
       }},
      {"ZtFlowFork", "a null input and no outputs", [] {
         LogCapture log;
         ZtFlowFork fork(nullptr, nullptr);
         return fork.inputCount() == 0 && fork.outputCount() == 0 && !fork.start() && log.entries().empty();
       }},
      {"ZtFlowFork(input, {outputs})", "five outputs", [] {
         LogCapture log;
         ZtFlow in, o[5];
         ZtFlowFork fork(&in, {&o[0], &o[1], &o[2], &o[3], &o[4]});
         return fork.outputCount() == 4 && o[4].producer() == nullptr &&
                log.count("flow fork output refused: a fork has at most 4 outputs") == 1;
       }},
  });
}

int ignore(void*, const zk::P<ZtMessage>&) { return 0; }

TEST(BadInput, MessagingAndHost) {
  runTable({
      {"ZtMsgSender::send", "an empty P", [] {
         ZtMsgSender s;
         ZtMsgReceiver r;
         s.addReceiver(r, &ignore, nullptr, 0, false);
         s.send(zk::P<ZtMessage>());
         return r.pendingCount() == 0;
       }},
      {"ZtMsgSender removeReceiver / addReceiver", "a link record, a type not registered, a receiver's own links", [] {
         ZtMsgReceiver r;
         ZtMsgSender s;
         s.addReceiver(r, &ignore, nullptr, 3, true);
         auto* link = static_cast<ZtMsgCallbackRec*>(r.links().records.first());
         return !s.removeReceiver(r, 5) && !r.links().removeReceiver(link) &&
                r.links().addReceiver(r, &ignore, nullptr, 0, false) == nullptr && s.receiverCount() == 1;
       }},
      // A buffered registration makes four records, a direct one two.
      {"ZtMsgSender addReceiver / buffered send", "no memory at each allocation in turn", [] {
         ZtMsgReceiver r;
         ZtMsgSender s;
         bool ok = true;
         for (uint64_t skip = 0; skip < 5; ++skip) {
           zkflow::testing::failAllocations(skip == 4 ? 1 : skip, 1);
           ok = ok && s.addReceiver(r, &ignore, nullptr, 0, skip == 4) == nullptr;
           zkflow::testing::failAllocations(0, 0);
           ok = ok && s.receiverCount() == 0 && !r.hasServer();
         }
         s.addReceiver(r, &ignore, nullptr, 0, false);
         zk::P<ZtMessage> m(new ZtMessage(1));
         zkflow::testing::failAllocations(0, 1);
         s.send(m);
         zkflow::testing::failAllocations(0, 0);
         return ok && r.pendingCount() == 0 && m->refCount() == 1;
       }},
      {"ZtMsgSender::removeReceiver / ZtMsgReceiver::link", "null record, null sender", [] {
         ZtMsgReceiver r;
         ZtMsgSender s;
         r.link(nullptr);
         return !s.removeReceiver(nullptr) && !s.removeReceiver(r, 0) && !r.hasServer();
       }},
      {"Utils::Log::print", "null category, file and format; a message past 4095 bytes", [] {
         LogCapture capture;
         Utils::Log::theLog()->print(Utils::MsgNotice, nullptr, 0, nullptr, 0, nullptr);
         Utils::Log::theLog()->print(Utils::MsgNotice, "flow", 0, "f", 1, "%s", std::string(10000, 'z').c_str());
         const auto e = capture.entries();
         return e.size() == 2 && e[0].category + e[0].file + e[0].text == "" && e[1].text == std::string(4095, 'z');
       }},
      {"Utils::Allocator::allocate", "a size near SIZE_MAX", [] {
         return Utils::Allocator::theAllocator()->allocate(SIZE_MAX - 8) == nullptr;
       }},
      {"zk::String ==", "one a prefix of the other", [] {
         const zk::String a("flow"), b("flowtask");
         return !(a == b) && !(b == a) && a == zk::String("flow");
       }},
  });
}

}  // namespace

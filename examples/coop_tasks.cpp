// SPDX-License-Identifier: Apache-2.0
// Tutorial: cooperative queue tasks sharing one thread.
//
// A queue task made with coop = true does not get a thread of its own: its
// loop runs as a cooperative task of the thread that calls start(), here
// main. Cooperative tasks never run at the same time as each other or as the
// thread's own code: they give up the processor only at known points (after
// each packet, on an empty queue), and they run only while the hosting
// thread lets them, in ZIF_PollTasks(), ZIF_SuspendFor() or a wait.
//
// Two tasks, "ping" and "pong", each take numbers from their own queue and
// append them to one shared log. No lock guards the log: everything here
// runs on main's thread, one piece at a time. Main drives them with
// ZIF_PollTasks() and checks that
//  - every number was handled once, in order, by the right task;
//  - the two tasks took turns (one did not run its whole queue first);
//  - every turn ran on main's thread.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <zkflow.h>

namespace {

constexpr int kPerTask = 20;

using Queue = ZtQueueTask::Queue;

struct Number : ZtQueuePacket {
  int n;
  explicit Number(int v) : n(v) {}
};

struct Entry {
  char who;
  int n;
};

struct Logger : ZtQueueTask {
  char who;
  std::vector<Entry>* log;
  std::thread::id ranOn;  // the thread of the last turn
  bool otherThread = false;

  Logger(char w, std::vector<Entry>* l) : ZtQueueTask(/*coop=*/true), who(w), log(l) {}
  // As for every derived task: stop before the derived part goes.
  ~Logger() override { stop(); }

  const char* taskName() override { return who == 'A' ? "ping" : "pong"; }

  void taskHandlePacket(zk::AP<ZtQueuePacket>& packet, Queue*) override {
    if (std::this_thread::get_id() != ranOn) otherThread = true;
    if (!packet) return;
    log->push_back({who, static_cast<Number*>(packet.get())->n});
  }  // the packet left in `packet` is deleted by the loop
};

}  // namespace

int main() {
  // Unbounded queues (capacity 0): the cooperative take does not count
  // items out, so a bounded queue would fill up for good.
  Queue qa, qb;
  std::vector<Entry> log;
  Logger a('A', &log), b('B', &log);
  a.ranOn = b.ranOn = std::this_thread::get_id();
  a.in(&qa);
  b.in(&qb);

  // start() makes main a host of cooperative tasks and returns once the
  // task's loop has begun.
  if (!a.start() || !b.start()) {
    std::fprintf(stderr, "coop_tasks: a task did not start\n");
    return 1;
  }

  for (int i = 0; i < kPerTask; ++i) {
    zk::AP<ZtQueuePacket> pa(new Number(i)), pb(new Number(i));
    qa.push(pa);
    qb.push(pb);
  }

  // Nothing runs until main lets it. Each poll runs every due task once;
  // a task handles a packet and then yields, so the two alternate.
  const Utils::Time deadline = ZtClock::timeNow() + Utils::Time(10.0);
  while (log.size() < 2u * kPerTask && ZtClock::timeNow() < deadline) ZIF_PollTasks();

  // stop() on the hosting thread: the loops end at their next turn.
  a.stop();
  b.stop();

  int nextA = 0, nextB = 0, switches = 0, outOfOrder = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    int& next = log[i].who == 'A' ? nextA : nextB;
    if (log[i].n != next) ++outOfOrder;
    ++next;
    if (i > 0 && log[i].who != log[i - 1].who) ++switches;
  }
  std::string order;
  for (size_t i = 0; i < log.size() && i < 12; ++i) order += log[i].who;
  std::printf("coop_tasks: %zu entries, first turns %s..., %d switches between tasks\n", log.size(),
              order.c_str(), switches);

  const bool ok = nextA == kPerTask && nextB == kPerTask && outOfOrder == 0 &&
                  switches >= kPerTask && !a.otherThread && !b.otherThread;
  std::printf("coop_tasks: %s\n", ok ? "both tasks took turns on main's thread" : "FAILED");
  return ok ? 0 : 1;
}

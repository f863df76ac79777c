// SPDX-License-Identifier: Apache-2.0
// Tutorial: typed messages, direct and buffered.
//
// A ZtMsgSender hands every message it sends to the receivers registered
// with it for that message type. A registration is either
//  - direct: the callback runs inside send(), on the sender's thread, before
//    send() returns; or
//  - buffered: send() only queues the message in the receiver, and the
//    callback runs when the receiver's owner calls poll().
//
// oneThread() shows both on one thread, with type filtering and unregistering;
// twoThreads() sends from another thread to a buffered receiver polled by main.
// Messaging takes no locks of its own: across threads the owner holds one
// lock around every send, poll and teardown.
#include <atomic>
#include <cstdio>
#include <thread>

#include <zkflow.h>

namespace {

constexpr int kTemperature = 1;
constexpr int kAlarm = 2;

struct Reading : ZtMessage {
  double value;
  Reading(int type, double v) : ZtMessage(type), value(v) {}
};

// What one callback has seen. The closure handed to addReceiver is not
// owned: it must outlive the registration.
struct Seen {
  int calls = 0;
  double sum = 0;
  int lastType = 0;
};

int record(void* closure, const zk::P<ZtMessage>& m) {
  auto* seen = static_cast<Seen*>(closure);
  ++seen->calls;
  seen->sum += static_cast<const Reading*>(m.get())->value;
  seen->lastType = m->type();
  return 0;
}

void send(ZtMsgSender& sender, int type, double value) {
  zk::P<ZtMessage> m(new Reading(type, value));  // the last P deletes it
  sender.send(m);
}

int failures = 0;
void check(bool ok, const char* what) {
  std::printf("  %-58s %s\n", what, ok ? "ok" : "FAILED");
  if (!ok) ++failures;
}

void oneThread() {
  std::printf("one thread:\n");
  ZtMsgSender sensor;
  ZtMsgReceiver display, logger;
  Seen shown, logged;

  // The display wants temperatures at once; the logger wants every type
  // (0 is the wildcard) and takes them when it gets round to it.
  sensor.addReceiver(display, &record, &shown, kTemperature, /*direct=*/true);
  ZtMsgCallbackRec* logReg = sensor.addReceiver(logger, &record, &logged, 0, /*direct=*/false);

  send(sensor, kTemperature, 21.5);
  check(shown.calls == 1 && shown.sum == 21.5, "direct: the callback ran inside send()");
  check(logged.calls == 0 && logger.pendingCount() == 1, "buffered: queued, callback not run yet");

  send(sensor, kAlarm, 1.0);
  check(shown.calls == 1, "direct: a type it did not ask for is not delivered");
  check(logger.pendingCount() == 2, "buffered: the wildcard registration queued it");

  logger.poll();  // the callbacks run here, on the poller's thread, in order
  check(logged.calls == 2 && logged.sum == 22.5 && logged.lastType == kAlarm,
        "buffered: poll() delivered both, in the order sent");
  check(logger.pendingCount() == 0, "buffered: nothing left after poll()");

  // Ending a registration at the sender takes out both halves. Messages
  // queued before it ended are still delivered by the next poll.
  send(sensor, kTemperature, 20.0);
  sensor.removeReceiver(logReg);
  send(sensor, kTemperature, 19.0);
  logger.poll();
  check(logged.calls == 3 && logged.sum == 42.5, "removed: earlier message kept, later one not sent");
  check(shown.calls == 3, "direct registration unaffected");
  // Destroying either end (here all three, at the end of scope) ends its
  // registrations: no record is left naming an object that is gone.
}

// A sender used on a worker thread, a receiver polled by main. The owner's
// lock is held around every send and every poll, and around the teardown.
void twoThreads() {
  std::printf("two threads:\n");
  constexpr int kCount = 1000;
  zk::Lock owner(new zk::LockRep("messaging example"));
  ZtMsgSender sender;
  ZtMsgReceiver inbox;
  Seen got;
  sender.addReceiver(inbox, &record, &got, kTemperature, false);

  std::atomic<bool> finished{false};
  std::thread worker([&] {
    for (int i = 1; i <= kCount; ++i) {
      zk::P<ZtMessage> m(new Reading(kTemperature, i));  // made outside the lock
      owner.lock();
      sender.send(m);
      owner.unlock();
    }
    finished.store(true);
  });

  // Poll until the worker has finished and the inbox is drained, within a
  // deadline: a bounded wait, never a hang.
  const Utils::Time deadline = ZtClock::timeNow() + Utils::Time(10.0);
  for (;;) {
    const bool last = finished.load();
    owner.lock();
    inbox.poll();  // record() runs here, on main's thread
    owner.unlock();
    if (last || ZtClock::timeNow() > deadline) break;
    ZIF_Sleep(0.001);
  }
  worker.join();
  check(got.calls == kCount && got.sum == kCount * (kCount + 1) / 2.0,
        "every message from the worker delivered once on main");
}

}  // namespace

int main() {
  oneThread();
  twoThreads();
  std::printf("messaging: %s\n", failures == 0 ? "all checks passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}

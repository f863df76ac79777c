// SPDX-License-Identifier: Apache-2.0
// Tutorial: a worker pool of pre-emptive queue tasks.
//
//   main ──► jobs ──► dispatcher ─┬─► work[0] ──► worker 0 ─┐
//                                 └─► work[1] ──► worker 1 ─┴─► results ──► main
//
// A queue task takes packets one by one from its input queue, each on a
// thread of its own, and hands each to taskHandlePacket() together with its
// output queue. The dispatcher has no output queue of its own: it deals the
// jobs out in turn to the workers' input queues. Each worker squares the
// number in a job, notes who did it and pushes the job on the shared results
// queue, which main takes from. Main checks that every job came back exactly
// once with the right answer, and that both workers took a share.
#include <atomic>
#include <cstdio>
#include <vector>

#include <zkflow.h>

namespace {

constexpr int kJobs = 2000;
constexpr int kWorkers = 2;

using Queue = ZtQueueTask::Queue;  // MTQueue<AP<ZtQueuePacket>>

// A job travels through the queues as a queue packet. Queues own their
// packets through AP: a push moves the packet in, a take moves it out.
struct Job : ZtQueuePacket {
  int id = 0;
  long input = 0;
  long result = 0;
  int worker = -1;
};

struct Dispatcher : ZtQueueTask {
  Queue* targets[kWorkers] = {};
  unsigned next = 0;  // used on the dispatcher's thread alone

  Dispatcher() : ZtQueueTask(/*coop=*/false) {}
  // Stop in the derived destructor: the base's own stop() could no longer
  // reach our handler.
  ~Dispatcher() override { stop(); }

  const char* taskName() override { return "dispatcher"; }

  void taskHandlePacket(zk::AP<ZtQueuePacket>& packet, Queue*) override {
    if (!packet) return;  // the wake-up that stop() posts
    // push() moves the packet: `packet` is empty afterwards, so the loop
    // has nothing to delete. Should the push fail (no memory), the packet
    // stays in `packet` and the loop deletes it: a job lost loudly, since
    // main counts what comes back.
    targets[next]->push(packet);
    next = (next + 1) % kWorkers;
  }
};

struct Worker : ZtQueueTask {
  int index;
  explicit Worker(int i) : ZtQueueTask(false), index(i) {}
  ~Worker() override { stop(); }

  const char* taskName() override { return index == 0 ? "worker 0" : "worker 1"; }

  void taskHandlePacket(zk::AP<ZtQueuePacket>& packet, Queue* out) override {
    if (!packet || !out) return;
    auto* job = static_cast<Job*>(packet.get());
    job->result = job->input * job->input;
    job->worker = index;
    out->push(packet);  // many workers may push on one queue at once
  }
};

}  // namespace

int main() {
  // Queues first: they must outlive the tasks that use them. The workers'
  // queues are bounded, so a fast dispatcher waits for a slow worker
  // instead of piling up jobs in memory.
  Queue jobs;
  Queue work[kWorkers] = {Queue(64), Queue(64)};
  Queue results;

  Dispatcher dispatcher;
  Worker w0(0), w1(1);
  Worker* workers[kWorkers] = {&w0, &w1};

  dispatcher.in(&jobs);
  for (int i = 0; i < kWorkers; ++i) {
    dispatcher.targets[i] = &work[i];
    workers[i]->in(&work[i]);
    workers[i]->out(&results);
  }
  // Consumers first, so nothing waits in a queue for a task that is not
  // there yet (it would wait harmlessly, but start-up is clearer this way).
  if (!w0.start() || !w1.start() || !dispatcher.start()) {
    std::fprintf(stderr, "worker_pool: a task did not start\n");
    return 1;
  }

  for (int i = 0; i < kJobs; ++i) {
    auto* job = new Job;
    job->id = i;
    job->input = i;
    zk::AP<ZtQueuePacket> p(job);
    if (!jobs.push(p)) {
      std::fprintf(stderr, "worker_pool: could not queue job %d\n", i);
      return 1;
    }
  }

  // Main is the one consumer of the results queue. The queue task's own
  // take blocks; here we poll with a deadline, so a lost job fails the
  // example instead of hanging it.
  std::vector<int> seen(kJobs, 0);
  int perWorker[kWorkers] = {};
  int wrong = 0, taken = 0;
  const Utils::Time deadline = ZtClock::timeNow() + Utils::Time(20.0);
  while (taken < kJobs && ZtClock::timeNow() < deadline) {
    zk::AP<ZtQueuePacket> p;
    if (!results.unlinkHead(p, /*counted=*/true)) {
      ZIF_Sleep(0.001);
      continue;
    }
    auto* job = static_cast<Job*>(p.get());
    ++taken;
    if (job->id < 0 || job->id >= kJobs || job->worker < 0 || job->worker >= kWorkers) {
      ++wrong;
      continue;
    }
    ++seen[job->id];
    ++perWorker[job->worker];
    if (job->result != job->input * job->input) ++wrong;
  }  // p deletes each job as it goes out of scope

  // Stop the producers of a queue before its consumers: the dispatcher
  // first, then the workers.
  dispatcher.stop();
  w0.stop();
  w1.stop();

  int missing = 0, twice = 0;
  for (int n : seen) {
    if (n == 0) ++missing;
    if (n > 1) ++twice;
  }
  std::printf("worker_pool: %d jobs, worker 0 did %d, worker 1 did %d; %d missing, %d twice, %d wrong\n",
              kJobs, perWorker[0], perWorker[1], missing, twice, wrong);
  // Round-robin dealing gives each worker exactly half.
  const bool ok = taken == kJobs && missing == 0 && twice == 0 && wrong == 0 &&
                  perWorker[0] == kJobs / 2 && perWorker[1] == kJobs / 2;
  std::printf("worker_pool: %s\n", ok ? "every job done exactly once" : "FAILED");
  return ok ? 0 : 1;
}

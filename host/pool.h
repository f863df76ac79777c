// SPDX-License-Identifier: Apache-2.0
// The worker pool's side of the host layer, for zsys.cpp and lock.cpp: the
// calls that make a wait, a sleep or a yield of a pooled task switch its
// worker to another task instead of blocking it. Internal to host/.
#pragma once

#include <atomic>
#include <cstdint>

#include "zkflow/host/zsys.h"

struct ZtSpinLock;

namespace zkflow {

// A task of the pool: its stack, its place in a ready queue or in one lock's
// list of parked waiters (`next`), and its timer.
struct PoolTask;

namespace pool {

// The pooled task running on the calling thread, or null (any other thread,
// and a worker between tasks).
PoolTask* current();
uint32_t currentId();  // REQUIRES: current()

// Starts entry(arg) as a pooled task with the id given (starting the workers
// on first use). False when out of memory.
bool spawn(ZIF_TaskEntry entry, void* arg, uint32_t id);
// Called by the pool, in zsys.cpp: the task with this id has ended.
void taskEnded(uint32_t id);

// REQUIRES: current(). The calling task gives up its worker until ready()
// names it. `held` is a spin lock the caller holds; the worker unlocks it once
// the task is off its stack, so that nobody can make the task ready (and
// another worker resume it) while it still runs here.
void park(ZtSpinLock* held);
// Makes a parked task ready. Any thread, pooled or not.
void ready(PoolTask* t);
// One word of storage for the calling pooled task, or for the calling thread
// off the pool: what a thread_local is to a thread, since a pooled task may
// resume on another worker after any wait. The stage probe keeps the stage
// whose loop runs here in it.
void*& taskLocal();

// What zkflow::poolCheckpoint() does at every 32nd call, for a loop that
// counts its calls itself: gives way when the calling pooled task has held
// its worker for a slice while others are ready; nothing anywhere else.
void checkpointDue();

// REQUIRES: current(). Lets the other ready tasks run first; returns at once
// (after giving up the processor to other threads) when none is ready.
void yield();
// REQUIRES: current(). Ready again after `ns` nanoseconds.
void sleepFor(uint64_t ns);

// Lists of parked tasks, for a lock's waiters, first come first woken.
// REQUIRES: the lock's spin lock held. The head is stored seq_cst, so that a
// waiter that adds itself and then looks at the lock's state, and an unlocker
// that changes the state and then looks at the head, cannot both miss the
// other.
void pushWaiter(std::atomic<PoolTask*>& head, PoolTask* t);
PoolTask* popWaiter(std::atomic<PoolTask*>& head);
void removeWaiter(std::atomic<PoolTask*>& head, PoolTask* t);

}  // namespace pool
}  // namespace zkflow

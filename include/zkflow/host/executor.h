// SPDX-License-Identifier: Apache-2.0
// Where a flow task or a pre-emptive queue task runs: on a thread of its own,
// or as a task of the process's pool of worker threads.
//
//  - Executor::Thread: one thread per task. A wait at a gate, a queue or a
//    lock sleeps that thread in the kernel. Choose it for a task that blocks
//    in the operating system (file or device I/O, a std::mutex, a condition
//    variable, a foreign library that waits), and wherever a task must not
//    share a processor's time with others.
//  - Executor::Pool: the task runs on a stack of its own, but on one of a few
//    worker threads shared by every pooled task (poolThreads(), by default one
//    per processor the process may use). A wait at a zk::Lock (every flow
//    gate, queue gate, suspension and idle wait), ZIF_Sleep and ZIF_Yield
//    switch the worker to another ready task instead of blocking it; an
//    unlock from any thread makes a parked task ready again, and a sleeper
//    is a timer of the pool. A task may resume on another worker than the one
//    it left. Choose it for graphs with more tasks than processors: a gate
//    then costs a switch of about 50 ns instead of a sleep and a wake.
//
// What a pooled task must not do is block its worker behind the pool's back:
// an OS call that waits, or a std::mutex (or any thread-owned lock) held
// across a wait at a zk::Lock, ZIF_Sleep or ZIF_Yield (the task may come back
// on another thread, and the mutex's owner would then be wrong). The other
// workers go on meanwhile; while a worker stays blocked with tasks waiting,
// the pool adds a worker in its place and logs it once (see
// docs/executors.md).
//
// Thread safety: every function here may be called from any thread.
#pragma once

#include "zkflow/host/export.h"

namespace zkflow {

enum class Executor { Thread, Pool };

// The executor that a flow task or pre-emptive queue task takes when it is
// made. On first use it comes from the environment variable ZKFLOW_EXECUTOR
// ("pool" or "thread"; anything else is Thread, with a line in the log).
ZKFLOW_EXPORT Executor defaultExecutor();
ZKFLOW_EXPORT void defaultExecutor(Executor e);

// Worker threads of the pool: the number asked for, or the default (the
// processors this process may use) until the pool has started. Setting it
// works only before the first pooled task starts: false afterwards, and for
// 0, which restores the default.
ZKFLOW_EXPORT unsigned int poolThreads();
ZKFLOW_EXPORT bool poolThreads(unsigned int n);

// A place where a long-running loop lets other pooled tasks run: on a pooled
// task that has held its worker for more than a slice (1 ms) while other
// tasks are ready, it yields; anywhere else it does nothing (a thread-local
// read, and a clock read every 32nd call). The flow task loop calls it every
// read pass and every cycle, a pre-emptive queue task every turn, so a task
// that never waits (a source without back-pressure, a busy sink) cannot keep
// the others from their workers.
ZKFLOW_EXPORT void poolCheckpoint();

// The index (from 0) of the pool worker that runs the calling pooled task, or
// -1 when the caller is not a pooled task. Cheap: one thread-local read. A
// pooled task may move between workers at any wait.
ZKFLOW_EXPORT int currentWorker();

}  // namespace zkflow

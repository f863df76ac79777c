// SPDX-License-Identifier: Apache-2.0
// The system layer: pre-emptive tasks (threads), cooperative tasks hosted by a
// thread, cooperative events, sleeping and yielding, task time.
//
// Results: the creation calls return 0 on success and a negative value on
// failure; the other int-returning calls return 0 on success and -1 when the
// task or event named does not exist (or, for the cooperative calls, when the
// calling thread hosts no cooperative tasks). Nothing throws, nothing aborts.
//
// Pre-emptive tasks. ZIF_CreateTask runs `entry(arg)` on a new thread of its
// own, which ends when the entry returns; nothing joins it. The task id is
// written before the entry can run. The affinity mask is applied to the
// processors that exist (bit n = processor n); a mask that names none of them,
// or a system that refuses, leaves the thread unpinned. The priority is a
// hint: 0 is normal; the layer applies it where the OS lets an unprivileged
// process do so and ignores it quietly otherwise. The layer keeps no memory of
// its own from the library's allocator for a task, so a test's count of live
// blocks does not depend on when a finished thread is reaped.
//
// Cooperative tasks. A thread that called ZIF_HostTasksCoop hosts cooperative
// tasks: each runs on a stack of its own and gives up the processor only in
// the ZIF_ calls marked "switches" below; between them, no other task of that
// thread runs. The hosting thread's own flow of control (its "root") is a task
// too: it has an id, and when it waits (for an event, for a task to end, in
// ZIF_SuspendFor or ZIF_PollTasks) the due tasks of the thread run. A task is
// due when it is neither suspended, nor sleeping, nor waiting for an event or
// a task that is not there yet. The highest priority due task runs first;
// tasks of equal priority take turns. When nothing is due the thread sleeps
// until the earliest sleeper wakes (or until an event is set from another
// thread). The calls that name a cooperative task must be made on its hosting
// thread, except ZIF_SetEventCoop, ZIF_SetTaskSuspended and
// ZIF_SetTaskPriority, which any thread may call.
//
// Task ids are unique in the process and never 0xFFFFFFFF.
#pragma once

#include <cstdint>

#include "zkflow/host/executor.h"
#include "zkflow/host/export.h"

extern "C" {

// The entry of a task; its result is not used.
typedef unsigned long (*ZIF_TaskEntry)(void* arg);

// Pre-emptive task on a new thread.
ZKFLOW_EXPORT int ZIF_CreateTask(ZIF_TaskEntry entry, void* arg, uint32_t* taskId,
                             unsigned int affinityMask, int priority);

// Makes the calling thread a host of cooperative tasks. Idempotent. The
// argument is reserved and must be 0.
ZKFLOW_EXPORT int ZIF_HostTasksCoop(int reserved);
// A cooperative task of the calling (hosting) thread. It first runs when the
// creator switches. Fails (negative) when the thread hosts no tasks.
ZKFLOW_EXPORT int ZIF_CreateTaskCoop(ZIF_TaskEntry entry, void* arg, uint32_t* taskId);

// Cooperative events. ZIF_CreateEventCoop(autoReset, initiallySet): with
// autoReset 1 a wait that returns clears the event again. Returns the handle,
// or 0xFFFFFFFF when no event can be made.
ZKFLOW_EXPORT uint32_t ZIF_CreateEventCoop(int autoReset, int initiallySet);
ZKFLOW_EXPORT int ZIF_SetEventCoop(uint32_t event);
// Switches: returns once the event is set; the thread's other tasks run
// meanwhile. Waiting on an event that is destroyed meanwhile returns -1.
ZKFLOW_EXPORT int ZIF_WaitEventCoop(uint32_t event);
ZKFLOW_EXPORT int ZIF_DestroyEventCoop(uint32_t event);

// Priority of a cooperative task (higher runs first; 0 is normal). For a
// pre-emptive task, a hint as at creation.
ZKFLOW_EXPORT int ZIF_SetTaskPriority(uint32_t taskId, int priority);
// 1 suspends a cooperative task (it is not scheduled until resumed), 0
// resumes it. A task that suspends itself switches away at once. A
// pre-emptive task cannot be suspended: -1.
ZKFLOW_EXPORT int ZIF_SetTaskSuspended(uint32_t taskId, int suspended);
// Switches: returns when the task has ended (at once if it has already
// ended or never existed). Returns -1 at once, without waiting, for the
// calling task itself, the thread's root (it never ends) and any task that is
// not a cooperative task of the calling thread.
ZKFLOW_EXPORT int ZIF_WaitTaskCoop(uint32_t taskId);
// The calling cooperative task, or, outside one, the calling pre-emptive
// task, or the calling thread's root. Any other thread gets an id of its own
// on first ask, which its root keeps if it starts to host tasks.
ZKFLOW_EXPORT uint32_t ZIF_CurrentTaskIdCoop(void);

// Gives up the processor to other threads.
ZKFLOW_EXPORT void ZIF_Yield(void);
// Switches: lets the thread's other due tasks run once, then comes back.
ZKFLOW_EXPORT void ZIF_YieldCoop(void);
// Switches: runs every due task of the thread once (from a task, the same as
// ZIF_YieldCoop). Does nothing on a thread that hosts no tasks.
ZKFLOW_EXPORT void ZIF_PollTasks(void);
// Switches: the calling cooperative task sleeps that many seconds while the
// others run; on the root, the thread runs its due tasks for that long. On a
// thread that hosts no tasks it is ZIF_Sleep. Zero, negative or NaN: a yield.
ZKFLOW_EXPORT void ZIF_SuspendFor(float seconds);
// The calling thread sleeps that many seconds (a cooperative task blocks its
// whole thread). Zero, negative or NaN: returns at once.
ZKFLOW_EXPORT void ZIF_Sleep(double seconds);
// Processor time used so far by the calling cooperative task (or thread),
// in ticks of ZIF_ZeroBasedTimeFrequency().
ZKFLOW_EXPORT uint64_t ZIF_CurrentTaskTimeCoop(void);
ZKFLOW_EXPORT uint64_t ZIF_ZeroBasedTimeFrequency(void);

}  // extern "C"

namespace zkflow {
// Processors this process may run on (at least 1), as found on first ask:
// the process's affinity mask, not the machine.
ZKFLOW_EXPORT unsigned int processorCount();

// ZIF_CreateTask for Executor::Thread; for Executor::Pool the task runs on
// the worker pool instead (zkflow/host/executor.h), with the same results
// and task ids. A pooled task's affinity mask and priority are not applied:
// the workers are shared. On a pooled task ZIF_Sleep and ZIF_Yield switch the
// worker to other tasks, ZIF_CurrentTaskIdCoop gives the task's id, and
// ZIF_HostTasksCoop refuses (-1): a pooled task may move between threads.
ZKFLOW_EXPORT int createTask(Executor executor, ZIF_TaskEntry entry, void* arg, uint32_t* taskId,
                             unsigned int affinityMask, int priority);
}  // namespace zkflow

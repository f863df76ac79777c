// SPDX-License-Identifier: Apache-2.0
// Stacks of our own and the switch between them: what the cooperative tasks
// of a hosting thread (zsys.cpp) and the tasks of the worker pool (pool.cpp)
// run on. Internal to host/.
//
// Thread safety: a Fiber is switched to by one thread at a time. A pool task
// may be resumed on another thread than the one that left it; the switch
// itself carries no lock, so whoever hands a fiber from one thread to another
// must order the hand-over (the pool does it under its queue's lock).
//
// Sanitizers: switchTo() and landed() tell AddressSanitizer and
// ThreadSanitizer about every switch, so each sees one stack per fiber.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zkflow {
namespace fiber {

// A stack mapped for a fiber: a guard page first, then the usable bytes.
struct Stack {
  char* map = nullptr;
  size_t mapSize = 0;
  char* bottom() const { return map + pageSize(); }
  size_t size() const { return mapSize - pageSize(); }
  static size_t pageSize();
};

// Maps a stack of `usable` bytes, in virtual space only (untouched pages cost
// nothing); false when the system refuses.
bool mapStack(Stack* out, size_t usable);
void unmapStack(Stack& s);
// Before a stack is used again: frames that never returned left their
// sanitizer redzones poisoned.
void scrubStack(const Stack& s);

// One flow of control. A thread's own flow (its "root") is a Fiber without a
// stack of ours.
struct Fiber {
  // The saved stack pointer on x86-64; elsewhere a ucontext_t of its own.
  void* context = nullptr;
  Stack stack;
  void (*entry)(void*) = nullptr;
  void* arg = nullptr;
  const void* asanBottom = nullptr;
  size_t asanSize = 0;
  void* asanFakeStack = nullptr;
  void* tsanFiber = nullptr;
};

// Makes `f`, whose stack is mapped, start at entry(arg) at the first switch
// to it. `entry` must never return: a fiber's last act is a switch with
// `dying` set. False when the system refuses (out of memory).
bool prepare(Fiber& f, void (*entry)(void*), void* arg);
// Makes `f` stand for the calling thread's own flow.
void adoptThread(Fiber& f);
// Leaves `from` (the caller) for `to`; returns when something switches back
// to `from`. The code that runs first on `to` must call landed(to, from).
// `dying`: `from` is never resumed, and its sanitizer state is let go.
void switchTo(Fiber& from, Fiber& to, bool dying);
// The first thing after every switch, on the fiber switched to.
void landed(Fiber& self, Fiber& from);
// Lets go of what prepare() made, but not of the stack.
void release(Fiber& f);

}  // namespace fiber
}  // namespace zkflow

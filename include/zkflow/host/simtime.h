// SPDX-License-Identifier: Apache-2.0
// A simulated clock for testing clock-regulated graphs, and the word waits
// that follow it.
//
// With simulated time on, the shared clock (ZtClock::timeNow), every pacing
// sleep, ZIF_Sleep, ZIF_SuspendFor and every timed lock wait follow a
// virtual time. It stands still while any task computes and jumps straight
// to the earliest deadline once every task waits, as a discrete-event
// simulation does. An hour of a paced 48 kHz source then runs in the seconds
// its stages need to compute it; since no task's work takes virtual time,
// nothing is late unless a stage says it is (spend()), so the pacing,
// latency and dropout figures come out the same at every run.
//
// Who counts as a task: the thread that turned the clock on (it drives the
// test: its waits in Graph::run, Graph::wait and waitWord let time jump),
// every flow and queue task, on threads or on the pool, and cooperative tasks
// through the thread that hosts them. A thread the caller started itself
// (std::thread) does not count: its waits let time jump, its work does not
// hold time still. A wait in a std::mutex, a condition variable or a spin
// counts as work: it holds time still. So does a thread that never waits:
// a graph whose tasks all compute for ever never sees time move.
//
//   zkflow::SimulatedClock sim;          // on until the end of the scope
//   zkflow::Graph g;  ...  g.run();      // an hour of audio in seconds
//
// Thread safety: any function, any thread. Turn the clock on and off while
// no task of the library runs (before a graph starts, after it stopped).
#pragma once

#include <atomic>
#include <cstdint>

#include "zkflow/host/export.h"

namespace zkflow {

// Turns simulated time on or off. Virtual time starts from the clock's
// reading at that moment; turned off, the clock goes on from where virtual
// time got to (it never steps back). Turning on when it is on is refused
// (false).
ZKFLOW_EXPORT bool simulatedTime(bool on);
ZKFLOW_EXPORT bool simulatedTime();

// Takes `seconds` of the clock's time on the calling task as work would: on
// the simulated clock the task counts as busy until virtual time has moved
// on by that much (a stage that lasts 30 ms a cycle is late at 25 ms
// cycles); on the real clock it spins for that long.
ZKFLOW_EXPORT void spend(double seconds);

// Simulated time for the scope of the object (nothing when it was on
// already).
class SimulatedClock {
 public:
  SimulatedClock() : mine_(simulatedTime(true)) {}
  ~SimulatedClock() {
    if (mine_) simulatedTime(false);
  }
  SimulatedClock(const SimulatedClock&) = delete;
  SimulatedClock& operator=(const SimulatedClock&) = delete;

 private:
  bool mine_;
};

// Waits while `word` holds `seen`, at most `seconds` of the clock's time
// (negative: no limit); returns early on wakeWord() and may return
// spuriously, so callers look at their condition again. On the simulated
// clock the wait lets time jump; a pooled caller naps on the pool instead of
// blocking its worker. wakeWord() wakes every waiter of `word`; change the
// word before waking.
ZKFLOW_EXPORT void waitWord(const std::atomic<uint32_t>& word, uint32_t seen, double seconds);
ZKFLOW_EXPORT void wakeWord(std::atomic<uint32_t>& word);

}  // namespace zkflow

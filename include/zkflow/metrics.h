// SPDX-License-Identifier: Apache-2.0
// Stage metrics: how each flow task of a running graph behaves, clock
// regulated or not.
//
// Every flow task keeps, while it runs, counts and durations of its own
// work: per work step and per cycle the time it was busy (waits at its flows'
// gates left out), with mean, 99th percentile and maximum; how long it
// waited for input and for room on its outputs; steps that took longer than
// the data they handled lasts at the task's data rate (slow steps: the stage
// is slower than real time) and late cycles of a clock-regulated task
// (dropouts); the bytes buffered on each input ahead of it and the most
// seen; and the end-to-end latency of the packets it handled, from the
// moment the source stage made their data to the end of the step that
// handled them. The latency statistics of the task (ZtFlowTask::latency())
// are not touched: they keep measuring what pacing plans.
//
// graphMetrics() gathers the figures of every task reachable from the units
// it is given into a plain struct; toJson() and metricsTable() render it.
// graphDot() (zkflow/graphdot.h) draws them into the graph's picture.
//
// Metrics are off until enableMetrics(true), which turns them on for tasks
// started afterwards. With them on, a work step costs a few adds to lines
// that only the task's own thread writes, and one step in 32 (every step of
// the first 256, and every step of a stage whose steps take 20 us or more)
// two reads of a cheap tick counter and the histograms; a packet that a
// source makes gets a stamp. On a two-task graph that hands a 256-byte
// packet over per step, the leanest there is, that is about 5 % more
// instructions; bench/flowtask_bench.cpp (BM_*_Metrics against the same
// graphs without) measures the time.
//
// Meaning of a few figures:
//  - Durations (busy times, end-to-end latency) and slow steps come from the
//    timed steps; counts of steps, cycles and bytes from every step.
//  - A stage's first and only cycle lasts as long as it runs when it has no
//    outputs (a sink): its figures are per step.
//  - The stamp that end-to-end latency starts from is taken by the stage
//    that makes a packet out of nothing it read (a source, or a stage whose
//    inputs carry no stamp); a stage that makes new packets from stamped
//    input passes on the oldest stamp of the work step's inputs. Copies of a
//    packet (reads, forks) keep its stamp.
//  - Bytes buffered on an input are the back-to-back data ahead of the
//    position the stage last read, the amount its producer's back-pressure
//    measures; seconds are the same at the stage's data rate. The most seen
//    is looked at about every millisecond of the stage's work.
//
// Thread safety: any function, any thread. graphMetrics() may run while the
// graph runs: each task's figures are written by its own thread and read
// here without stopping it, so figures of one snapshot may come from
// slightly different moments. The caller keeps the units and their flows
// alive during the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zkflow/host/export.h"

struct ZtFlowUnit;

namespace zkflow {

// Turns metrics on or off for flow tasks started from now on.
ZKFLOW_EXPORT void enableMetrics(bool on);
ZKFLOW_EXPORT bool metricsEnabled();

// A series of durations, in seconds. p99 is known to within about 9 %;
// count, mean and max are exact.
struct Durations {
  uint64_t count = 0;
  double mean = 0;
  double p99 = 0;
  double max = 0;
};

// An input the stage has, or had during its run: an input that has ended
// keeps the most seen, without a producer or buffered bytes.
struct InputMetrics {
  unsigned int input = 0;    // the index on the stage
  std::string producer;      // the producing unit's name, "" without one
  uint64_t bytes = 0;        // buffered ahead of the stage now
  double seconds = 0;        // the same at the stage's data rate (0 without one)
  uint64_t mostBytes = 0;    // the most seen
  double mostSeconds = 0;
};

struct StageMetrics {
  std::string name;
  bool task = false;          // a flow task (a plain unit has no figures)
  bool measured = false;      // its current or last run kept metrics
  bool running = false;
  bool clockRegulated = false;
  unsigned int dataRate = 0;  // bytes per second it requests
  uint64_t cycles = 0;
  uint64_t steps = 0;
  uint64_t bytes = 0;         // positions its steps handled
  Durations cycleTime;        // busy time per cycle
  Durations stepTime;         // busy time per work step
  Durations latency;          // end-to-end, from the source's stamp
  double inputWaitSeconds = 0;
  double outputWaitSeconds = 0;
  double idleSeconds = 0;     // an immortal task with no inputs
  uint64_t inputWaits = 0;
  uint64_t outputWaits = 0;
  uint64_t slowSteps = 0;
  uint64_t dropouts = 0;
  uint64_t overrunBytes = 0;  // unread bytes its Trim outputs dropped (overrunBytes())

  std::vector<InputMetrics> inputs;
};

struct GraphMetrics {
  double takenAt = 0;  // ZtClock time of the snapshot, in seconds
  std::vector<StageMetrics> stages;
};

// The figures of every unit reachable through flows from `units` (null
// entries skipped), in the order the walk finds them. Nothing given gives
// no stages.
ZKFLOW_EXPORT GraphMetrics graphMetrics(ZtFlowUnit* const* units, std::size_t count);

// The snapshot as one JSON object: {"taken_at":..., "stages":[{...}, ...]},
// with the member names of the structs above in snake case and durations in
// seconds.
ZKFLOW_EXPORT std::string toJson(const GraphMetrics& metrics);

// The snapshot as a text table, one line per stage, durations in
// milliseconds.
ZKFLOW_EXPORT std::string metricsTable(const GraphMetrics& metrics);

}  // namespace zkflow

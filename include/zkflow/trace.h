// SPDX-License-Identifier: Apache-2.0
// The trace timeline: an opt-in recorder of what every flow task and queue
// task does and when, written as Chrome trace-event JSON (it opens in
// Perfetto, ui.perfetto.dev, and in chrome://tracing).
//
//   zkflow::startTrace();
//   ... start the graph, let it run, stop it ...
//   zkflow::stopTrace();
//   zkflow::writeTrace("run.trace.json");   // scripts/trace-png draws it
//
// What is recorded, per thread, each event naming its task:
//  - a flow task's cycles ("cycle") and work steps ("step", with the bytes
//    handled); each wait at a gate and why ("wait: input empty" on an input,
//    "wait: output full" on an output, "idle: no inputs" for an immortal task
//    with none); pacing sleeps ("sleep"); late cycles ("dropout", with the
//    lateness); markers that arrive ("flush", "end of flow", with the input)
//    and the end it sends ("end of flow sent");
//  - a queue task's handler calls ("handle").
// A thread that runs one flow task's loop is named after the task. Where a
// scheduler runs tasks on a pool of worker threads, it tells the recorder
// which threads are its workers (setTraceWorkerQuery) and their rows are
// named "worker N"; every event still names the task it belongs to.
//
// Cost: while no recording runs, each point that could record tests one
// flag. While one runs, an event is a few stores into a buffer of the
// recording thread's own: no lock, no allocation but the buffer itself, made
// at the thread's first event. A thread whose buffer is full drops its
// further events and counts them (the JSON reports the count). Time stamps
// are the tick counter the stage metrics read anyway (zkflow/metrics.h).
//
// Thread safety: any function, any thread. A recording may start and stop
// while graphs run. traceJson() and writeTrace() read the last recording,
// also while it still runs (what has been recorded so far).
#pragma once

#include <cstddef>
#include <string>

#include "zkflow/host/export.h"

namespace zkflow {

// Starts a new recording, discarding the last one: each thread may record
// up to `eventsPerThread` events (24 bytes each).
ZKFLOW_EXPORT void startTrace(std::size_t eventsPerThread = std::size_t{1} << 18);
// Ends the recording; it stays readable until the next start or clearTrace().
ZKFLOW_EXPORT void stopTrace();
ZKFLOW_EXPORT bool tracing();
// Frees what the last recording holds (after stopTrace()).
ZKFLOW_EXPORT void clearTrace();

// The last recording as Chrome trace-event JSON: {"traceEvents":[...]}, time
// stamps in microseconds from its start.
ZKFLOW_EXPORT std::string traceJson();
// Writes traceJson() to `path`; false when it cannot (or path is null).
ZKFLOW_EXPORT bool writeTrace(const char* path);

// For a scheduler that runs tasks on a pool of worker threads: `query`
// returns the index of the calling thread among its workers, or -1 for any
// other thread. It is asked on a thread's first event of a recording, so it
// must be cheap and callable from any thread. Null removes it.
ZKFLOW_EXPORT void setTraceWorkerQuery(int (*query)());

}  // namespace zkflow

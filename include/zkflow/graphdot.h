// SPDX-License-Identifier: Apache-2.0
// A live picture of a running flow graph, as Graphviz DOT.
//
// Given any units of a graph, it follows their flows to every unit that is
// connected to them and describes:
//  - every unit: its name and state flags (started, running, done,
//    shutdown); for a flow task its latency figure and dropouts, and its
//    stage metrics (zkflow/metrics.h): busy time per step (mean and p99),
//    end-to-end latency, time spent waiting for input and for output room,
//    slow steps;
//  - every flow: its producer and consumer, the data rate and position its
//    consumer last requested, the bytes buffered ahead of that position (the
//    run of back-to-back data a producer's sleep test measures) with the
//    most seen, and all the bytes the flow holds.
//
//   zkflow::writeGraphDot("graph.dot", units, n);   // dot -Tpng graph.dot
//
// Thread safety: made to be called from a host thread while the graph runs.
// It reads only what the running loops publish for other threads and asks
// each flow under the flow's own list guard. The figures are a snapshot
// taken unit by unit, not one instant of the whole graph. The caller keeps
// the units and flows alive during the call.
#pragma once

#include <cstddef>
#include <string>

#include "zkflow/host/export.h"

struct ZtFlowUnit;

namespace zkflow {

// The DOT text of the graph reachable from `units` (null entries are
// skipped). An empty graph gives a valid, empty digraph.
ZKFLOW_EXPORT std::string graphDot(ZtFlowUnit* const* units, std::size_t count);
// Writes graphDot() to the file at `path`; false when the file cannot be
// written (or path is null).
ZKFLOW_EXPORT bool writeGraphDot(const char* path, ZtFlowUnit* const* units, std::size_t count);

}  // namespace zkflow

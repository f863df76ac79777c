// SPDX-License-Identifier: Apache-2.0
// ZtFlowGraph: a live picture of a running flow graph, as Graphviz DOT.
//
// Given any units of a graph, it follows their flows to every unit that is
// connected to them and describes:
//  - every unit: its name, its state flags (started, running, done,
//    shutdown), and for a flow task its latency figure and the dropouts it
//    has logged so far;
//  - every flow: its producer and consumer, the data rate and position its
//    consumer last requested, the bytes buffered ahead of that position (the
//    run of back-to-back data a producer's sleep test measures), all the
//    bytes the flow holds, and what its producer's Trim policy has dropped
//    there (when anything).
//
// Thread safety: made to be called from a host thread while the graph runs.
// It reads only what the running loops publish for other threads (atomic
// flags, positions and figures) and asks each flow under the flow's own list
// guard. The figures are a snapshot taken flow by flow, not one instant of
// the whole graph. The caller must keep the units and flows alive during the
// call (do not destroy a graph while describing it).
#pragma once

#include "zkflow/host/export.h"
#include "zkflow/host/string.h"

struct ZtFlowUnit;

struct ZKFLOW_EXPORT ZtFlowGraph {
  // The DOT text of the graph reachable from `units` (null entries are
  // skipped). An empty graph gives a valid, empty digraph.
  static zk::String dot(ZtFlowUnit* const* units, unsigned int count);
  // Writes dot() to the file at `path`; false when the file cannot be
  // written (or path is null).
  static bool writeDot(const char* path, ZtFlowUnit* const* units, unsigned int count);
};

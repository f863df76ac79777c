// SPDX-License-Identifier: Apache-2.0
// What the zkflow layer's JSON and DOT writers share: quoting, and the walk
// from some units of a graph to all of it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "zkflow/metrics.h"

struct ZtFlow;
struct ZtFlowUnit;

namespace zkflow {
namespace json {

// Appends `s` as a JSON string literal: quotes, backslashes and control
// characters escaped.
void quote(std::string& out, const std::string& s);

}  // namespace json

// Every unit and flow reachable through flows from `units` (null entries
// skipped), in the order found. Reads only what running loops publish.
void walkGraph(ZtFlowUnit* const* units, std::size_t count, std::vector<ZtFlowUnit*>& found,
               std::vector<ZtFlow*>& flows);

// A unit's name, safe to ask while its loop runs.
const char* unitName(ZtFlowUnit* u);

// The metrics of one unit (graphMetrics() for each unit of a walk).
StageMetrics stageMetrics(ZtFlowUnit* u, double secondsPerTick);

// n, or the size of a unit's flow tables when n is more. (A copy of
// ZtFlowUnit::kMaxFlows, which is declared without a definition: a
// reference to it would not link.)
constexpr unsigned int kUnitFlows = 4;
inline unsigned int clampFlows(unsigned int n) { return n < kUnitFlows ? n : kUnitFlows; }

// Back-to-back bytes on `f` ahead of the position its consumer last read.
unsigned int bufferedOn(ZtFlow* f);

}  // namespace zkflow

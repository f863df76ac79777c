// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <cstdio>

#include "src/graphwalk.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowtask.h"

namespace zkflow {

void json::quote(std::string& out, const std::string& s) {
  out += '"';
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += esc;
    } else {
      out += c;
    }
  }
  out += '"';
}

void walkGraph(ZtFlowUnit* const* units, std::size_t count, std::vector<ZtFlowUnit*>& found,
               std::vector<ZtFlow*>& flows) {
  const auto known = [](const auto& v, const auto* x) { return std::find(v.begin(), v.end(), x) != v.end(); };
  for (std::size_t i = 0; units && i < count; ++i)
    if (units[i] && !known(found, units[i])) found.push_back(units[i]);
  for (std::size_t k = 0; k < found.size(); ++k) {
    ZtFlowUnit* u = found[k];
    ZtFlow* links[2 * ZtFlowUnit::kMaxFlows];
    unsigned n = 0;
    const unsigned ins = clampFlows(u->inputCount());
    const unsigned outs = clampFlows(u->outputCount());
    for (unsigned i = 0; i < ins; ++i) links[n++] = u->input(i);
    for (unsigned i = 0; i < outs; ++i) links[n++] = u->output(i);
    for (unsigned i = 0; i < n; ++i) {
      ZtFlow* f = links[i];
      if (!f || known(flows, f)) continue;
      flows.push_back(f);
      for (ZtFlowUnit* end : {f->producer(), f->consumer()})
        if (end && !known(found, end)) found.push_back(end);
    }
  }
}

const char* unitName(ZtFlowUnit* u) {
  // taskName() rather than name(): name() stores the short name on first use,
  // which the task's own loop may be doing at the same moment.
  if (auto* t = dynamic_cast<ZtFlowTask*>(u)) return t->taskName();
  return u->ZtFlowUnit::name();
}

unsigned int bufferedOn(ZtFlow* f) {
  const unsigned int r = f->requestPos();
  unsigned int gap = 0;
  return f->nextGap(r, gap, true) - r;
}

}  // namespace zkflow
static_assert(zkflow::kUnitFlows == ZtFlowUnit::kMaxFlows, "a unit has this many inputs and outputs");

// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/flowgraph.h"

#include <cstdio>
#include <string>
#include <vector>

#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowtask.h"

namespace {

// DOT string literal: quotes and backslashes escaped, control characters
// dropped.
std::string quoted(const char* s) {
  std::string r = "\"";
  for (; s && *s; ++s) {
    const char c = *s;
    if (c == '"' || c == '\\') r += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) r += c;
  }
  return r + "\"";
}

template <class T>
int indexOf(const std::vector<T*>& v, const T* x) {
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i] == x) return static_cast<int>(i);
  return -1;
}

const char* unitName(ZtFlowUnit* u) {
  // taskName() rather than name(): name() stores the short name on first use,
  // which the task's own loop may be doing at the same moment.
  if (auto* t = dynamic_cast<ZtFlowTask*>(u)) return t->taskName();
  return u->ZtFlowUnit::name();
}

// Every unit and flow reachable from the given units, in the order found.
void collect(ZtFlowUnit* const* units, unsigned count, std::vector<ZtFlowUnit*>& found,
             std::vector<ZtFlow*>& flows) {
  for (unsigned i = 0; units && i < count; ++i)
    if (units[i] && indexOf(found, units[i]) < 0) found.push_back(units[i]);
  for (size_t k = 0; k < found.size(); ++k) {
    ZtFlowUnit* u = found[k];
    ZtFlow* links[2 * ZtFlowUnit::kMaxFlows];
    unsigned n = 0;
    const unsigned ins = u->inputCount() < ZtFlowUnit::kMaxFlows ? u->inputCount() : ZtFlowUnit::kMaxFlows;
    const unsigned outs = u->outputCount() < ZtFlowUnit::kMaxFlows ? u->outputCount() : ZtFlowUnit::kMaxFlows;
    for (unsigned i = 0; i < ins; ++i) links[n++] = u->input(i);
    for (unsigned i = 0; i < outs; ++i) links[n++] = u->output(i);
    for (unsigned i = 0; i < n; ++i) {
      ZtFlow* f = links[i];
      if (!f || indexOf(flows, f) >= 0) continue;
      flows.push_back(f);
      for (ZtFlowUnit* end : {f->producer(), f->consumer()})
        if (end && indexOf(found, end) < 0) found.push_back(end);
    }
  }
}

}  // namespace

zk::String ZtFlowGraph::dot(ZtFlowUnit* const* units, unsigned int count) {
  std::vector<ZtFlowUnit*> found;
  std::vector<ZtFlow*> flows;
  collect(units, count, found, flows);

  std::string out = "digraph zkflow {\n  rankdir=LR;\n  node [shape=box, fontname=\"Helvetica\"];\n"
                    "  edge [fontname=\"Helvetica\", fontsize=10];\n";
  char line[512];
  for (size_t i = 0; i < found.size(); ++i) {
    ZtFlowUnit* u = found[i];
    std::string flags;
    if (u->started()) flags += "started ";
    if (u->running()) flags += "running ";
    if (u->done()) flags += "done ";
    if (u->shutdown()) flags += "shutdown ";
    if (!flags.empty()) flags.pop_back();
    std::string label = quoted(unitName(u));
    label.pop_back();  // reopen the literal to add lines
    if (auto* t = dynamic_cast<ZtFlowTask*>(u)) {
      std::snprintf(line, sizeof line, "\\n%s\\nlatency %.1f ms, %u dropouts", flags.c_str(),
                    t->latencyFigure().seconds() * 1000.0, t->dropouts());
    } else {
      std::snprintf(line, sizeof line, "\\n%s", flags.c_str());
    }
    label += line;
    label += "\"";
    std::snprintf(line, sizeof line, "  u%zu [label=%s];\n", i, label.c_str());
    out += line;
  }
  for (size_t i = 0; i < flows.size(); ++i) {
    ZtFlow* f = flows[i];
    const int from = indexOf(found, f->producer());
    const int to = indexOf(found, f->consumer());
    // An end without a unit is drawn as a small point of its own.
    std::string a = from >= 0 ? "u" + std::to_string(from) : "open_in" + std::to_string(i);
    std::string b = to >= 0 ? "u" + std::to_string(to) : "open_out" + std::to_string(i);
    if (from < 0) out += "  " + a + " [shape=point];\n";
    if (to < 0) out += "  " + b + " [shape=point];\n";
    const unsigned requestPos = f->requestPos();
    unsigned gap = 0;
    const unsigned runEnd = f->nextGap(requestPos, gap, true);
    const unsigned buffered = runEnd - requestPos;
    const unsigned held = f->size();
    // What the producer's Trim policy dropped on this output, when anything.
    std::string overrun;
    if (auto* t = dynamic_cast<ZtFlowTask*>(f->producer())) {
      for (unsigned j = 0; j < ZtFlowUnit::kMaxFlows; ++j)
        if (t->output(j) == f && t->overrunBytes(j) != 0)
          overrun = "\\n" + std::to_string(t->overrunBytes(j)) + " B overrun";
    }
    std::snprintf(line, sizeof line,
                  "  %s -> %s [label=\"flow %zu\\n%u B/s\\nrequest at %u\\n%u B ahead, %u B held%s\"];\n",
                  a.c_str(), b.c_str(), i, f->requestDataRate(), requestPos, buffered, held, overrun.c_str());
    out += line;
  }
  out += "}\n";
  return zk::String(out.c_str(), out.size());
}

bool ZtFlowGraph::writeDot(const char* path, ZtFlowUnit* const* units, unsigned int count) {
  if (!path) return false;
  const zk::String text = dot(units, count);
  std::FILE* f = std::fopen(path, "w");
  if (!f) return false;
  const bool wrote = std::fwrite(text.c_str(), 1, text.length(), f) == text.length();
  return std::fclose(f) == 0 && wrote;
}

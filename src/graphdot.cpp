// SPDX-License-Identifier: Apache-2.0
#include "zkflow/graphdot.h"

#include <cstdio>
#include <string>
#include <vector>

#include "host/ticks.h"
#include "src/graphwalk.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowtask.h"

namespace zkflow {

namespace {

// DOT string literal: quotes and backslashes escaped, control characters
// dropped; left open, for lines to be added.
std::string opened(const char* s) {
  std::string r = "\"";
  for (; s && *s; ++s) {
    const char c = *s;
    if (c == '"' || c == '\\') r += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) r += c;
  }
  return r;
}

template <class T>
int indexOf(const std::vector<T*>& v, const T* x) {
  for (std::size_t i = 0; i < v.size(); ++i)
    if (v[i] == x) return static_cast<int>(i);
  return -1;
}

std::string flags(ZtFlowUnit* u) {
  std::string f;
  if (u->started()) f += "started ";
  if (u->running()) f += "running ";
  if (u->done()) f += "done ";
  if (u->shutdown()) f += "shutdown ";
  if (!f.empty()) f.pop_back();
  return f;
}

std::string unitLabel(ZtFlowUnit* u, const StageMetrics& m) {
  std::string label = opened(unitName(u));
  char line[256];
  auto* t = dynamic_cast<ZtFlowTask*>(u);
  if (!t) {
    std::snprintf(line, sizeof line, "\\n%s\"", flags(u).c_str());
    return label + line;
  }
  std::snprintf(line, sizeof line, "\\n%s\\nlatency %.1f ms, %u dropouts", flags(u).c_str(),
                t->latencyFigure().seconds() * 1000.0, t->dropouts());
  label += line;
  if (m.measured) {
    std::snprintf(line, sizeof line,
                  "\\nstep %.3f ms, p99 %.3f ms (%llu steps)\\nend to end %.2f ms, p99 %.2f ms"
                  "\\nwaits: input %.2f s, output %.2f s\\n%llu slow steps",
                  m.stepTime.mean * 1e3, m.stepTime.p99 * 1e3, static_cast<unsigned long long>(m.steps),
                  m.latency.mean * 1e3, m.latency.p99 * 1e3, m.inputWaitSeconds, m.outputWaitSeconds,
                  static_cast<unsigned long long>(m.slowSteps));
    label += line;
  }
  return label + "\"";
}

// The most seen on `f`, from its consumer's metrics.
const InputMetrics* inputOf(const std::vector<StageMetrics>& stages, int consumer, ZtFlowUnit* cons, ZtFlow* f) {
  if (consumer < 0) return nullptr;
  for (const InputMetrics& in : stages[static_cast<std::size_t>(consumer)].inputs)
    if (cons->input(in.input) == f) return &in;
  return nullptr;
}

}  // namespace

std::string graphDot(ZtFlowUnit* const* units, std::size_t count) {
  std::vector<ZtFlowUnit*> found;
  std::vector<ZtFlow*> flows;
  walkGraph(units, count, found, flows);
  const double perTick = 1.0 / ticksPerSecond();
  std::vector<StageMetrics> stages;
  for (ZtFlowUnit* u : found) stages.push_back(stageMetrics(u, perTick));

  std::string out = "digraph zkflow {\n  rankdir=LR;\n  node [shape=box, fontname=\"Helvetica\"];\n"
                    "  edge [fontname=\"Helvetica\", fontsize=10];\n";
  char line[512];
  for (std::size_t i = 0; i < found.size(); ++i) {
    std::snprintf(line, sizeof line, "  u%zu [label=", i);
    out += line;
    out += unitLabel(found[i], stages[i]);
    out += "];\n";
  }
  for (std::size_t i = 0; i < flows.size(); ++i) {
    ZtFlow* f = flows[i];
    const int from = indexOf(found, f->producer());
    const int to = indexOf(found, f->consumer());
    // An end without a unit is drawn as a small point of its own.
    const std::string a = from >= 0 ? "u" + std::to_string(from) : "open_in" + std::to_string(i);
    const std::string b = to >= 0 ? "u" + std::to_string(to) : "open_out" + std::to_string(i);
    if (from < 0) out += "  " + a + " [shape=point];\n";
    if (to < 0) out += "  " + b + " [shape=point];\n";
    const unsigned buffered = bufferedOn(f);
    const InputMetrics* in = inputOf(stages, to, f->consumer(), f);
    std::string most;
    if (in && stages[static_cast<std::size_t>(to)].measured) {
      std::snprintf(line, sizeof line, "\\nmost %llu B ahead (%.3f s)", static_cast<unsigned long long>(in->mostBytes),
                    in->mostSeconds);
      most = line;
    }
    // What the producer's Trim policy dropped on this output, when anything.
    if (auto* t = dynamic_cast<ZtFlowTask*>(f->producer())) {
      for (unsigned j = 0; j < ZtFlowUnit::kMaxFlows; ++j)
        if (t->output(j) == f && t->overrunBytes(j) != 0)
          most += "\\n" + std::to_string(t->overrunBytes(j)) + " B overrun";
    }
    std::snprintf(line, sizeof line,
                  "  %s -> %s [label=\"flow %zu\\n%u B/s\\nrequest at %u\\n%u B ahead, %u B held%s\"];\n",
                  a.c_str(), b.c_str(), i, f->requestDataRate(), f->requestPos(), buffered, f->size(), most.c_str());
    out += line;
  }
  out += "}\n";
  return out;
}

bool writeGraphDot(const char* path, ZtFlowUnit* const* units, std::size_t count) {
  if (!path) return false;
  const std::string text = graphDot(units, count);
  std::FILE* f = std::fopen(path, "w");
  if (!f) return false;
  const bool wrote = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && wrote;
}

}  // namespace zkflow

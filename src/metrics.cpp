// SPDX-License-Identifier: Apache-2.0
#include "zkflow/metrics.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "host/ticks.h"
#include "kernel/flow/probe.h"
#include "src/graphwalk.h"
#include "zkflow/host/clock.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowtask.h"

namespace zkflow {

void enableMetrics(bool on) { StageProbe::enableMetrics(on); }
bool metricsEnabled() { return StageProbe::metricsEnabled(); }

namespace {

Durations durations(const TickHistogram& h, double perTick) {
  Durations d;
  d.count = h.count();
  if (d.count == 0) return d;
  d.mean = static_cast<double>(h.sum()) * perTick / static_cast<double>(d.count);
  d.p99 = static_cast<double>(h.quantile(0.99)) * perTick;
  d.max = static_cast<double>(h.max()) * perTick;
  return d;
}

double atRate(uint64_t bytes, unsigned int rate) {
  return rate ? static_cast<double>(bytes) / rate : 0.0;
}

void fillInputs(ZtFlowTask* t, const StageProbe* p, StageMetrics& s) {
  const uint32_t seen = p ? p->inputsSeen.load(std::memory_order_relaxed) : 0;
  const unsigned n = clampFlows(t->inputCount());
  for (unsigned i = 0; i < StageProbe::kInputs; ++i) {
    ZtFlow* f = i < n ? t->input(i) : nullptr;
    if (!f && !(seen & (1u << i))) continue;
    InputMetrics in;
    in.input = i;
    if (f) {
      if (ZtFlowUnit* from = f->producer()) in.producer = unitName(from);
      in.bytes = bufferedOn(f);
    }
    const uint64_t most = p ? p->mostBuffered[i].load(std::memory_order_relaxed) : 0;
    in.mostBytes = std::max(in.bytes, most);
    in.seconds = atRate(in.bytes, s.dataRate);
    in.mostSeconds = atRate(in.mostBytes, s.dataRate);
    s.inputs.push_back(std::move(in));
  }
}

}  // namespace

StageMetrics stageMetrics(ZtFlowUnit* u, double perTick) {
  StageMetrics s;
  s.name = unitName(u);
  s.running = u->running();
  auto* t = dynamic_cast<ZtFlowTask*>(u);
  if (!t) return s;
  s.task = true;
  s.clockRegulated = t->clockRegulated();
  s.dropouts = t->dropouts();
  for (unsigned j = 0; j < clampFlows(t->outputCount()); ++j) s.overrunBytes += t->overrunBytes(j);
  const StageProbe* p = StageProbe::of(t);
  if (p) s.dataRate = p->dataRate.load(std::memory_order_relaxed);
  if (p && p->measured.load(std::memory_order_relaxed)) {
    const auto get = [](const std::atomic<uint64_t>& a) { return a.load(std::memory_order_relaxed); };
    s.measured = true;
    s.cycles = get(p->cycles);
    s.steps = get(p->steps);
    s.bytes = get(p->bytes);
    s.slowSteps = get(p->slowSteps);
    s.inputWaits = get(p->inputWaits);
    s.outputWaits = get(p->outputWaits);
    s.inputWaitSeconds = static_cast<double>(get(p->inputWaitTicks)) * perTick;
    s.outputWaitSeconds = static_cast<double>(get(p->outputWaitTicks)) * perTick;
    s.idleSeconds = static_cast<double>(get(p->idleTicks)) * perTick;
    s.cycleTime = durations(p->cycleTime, perTick);
    s.stepTime = durations(p->stepTime, perTick);
    s.latency = durations(p->latency, perTick);
  }
  fillInputs(t, p, s);
  return s;
}

namespace {

void durationsJson(std::string& out, const char* key, const Durations& d) {
  char buf[160];
  std::snprintf(buf, sizeof buf, ",\"%s\":{\"count\":%" PRIu64 ",\"mean\":%.9g,\"p99\":%.9g,\"max\":%.9g}", key,
                d.count, d.mean, d.p99, d.max);
  out += buf;
}

}  // namespace

GraphMetrics graphMetrics(ZtFlowUnit* const* units, std::size_t count) {
  GraphMetrics g;
  g.takenAt = ZtClock::timeNow().seconds();
  std::vector<ZtFlowUnit*> found;
  std::vector<ZtFlow*> flows;
  walkGraph(units, count, found, flows);
  const double perTick = 1.0 / ticksPerSecond();
  for (ZtFlowUnit* u : found) g.stages.push_back(stageMetrics(u, perTick));
  return g;
}

std::string toJson(const GraphMetrics& m) {
  std::string out;
  char buf[1024];
  std::snprintf(buf, sizeof buf, "{\"taken_at\":%.6f,\"stages\":[", m.takenAt);
  out += buf;
  for (std::size_t k = 0; k < m.stages.size(); ++k) {
    const StageMetrics& s = m.stages[k];
    out += k ? ",\n{\"name\":" : "\n{\"name\":";
    json::quote(out, s.name);
    std::snprintf(buf, sizeof buf,
                  ",\"task\":%s,\"measured\":%s,\"running\":%s,\"clock_regulated\":%s,\"data_rate\":%u,"
                  "\"cycles\":%" PRIu64 ",\"steps\":%" PRIu64 ",\"bytes\":%" PRIu64 ",\"slow_steps\":%" PRIu64
                  ",\"dropouts\":%" PRIu64 ",\"overrun_bytes\":%" PRIu64 ",\"input_waits\":%" PRIu64 ",\"output_waits\":%" PRIu64
                  ",\"input_wait_seconds\":%.9g,\"output_wait_seconds\":%.9g,\"idle_seconds\":%.9g",
                  s.task ? "true" : "false", s.measured ? "true" : "false", s.running ? "true" : "false",
                  s.clockRegulated ? "true" : "false", s.dataRate, s.cycles, s.steps, s.bytes, s.slowSteps,
                  s.dropouts, s.overrunBytes, s.inputWaits, s.outputWaits, s.inputWaitSeconds, s.outputWaitSeconds,
                  s.idleSeconds);
    out += buf;
    durationsJson(out, "cycle_time", s.cycleTime);
    durationsJson(out, "step_time", s.stepTime);
    durationsJson(out, "latency", s.latency);
    out += ",\"inputs\":[";
    for (std::size_t i = 0; i < s.inputs.size(); ++i) {
      const InputMetrics& in = s.inputs[i];
      std::snprintf(buf, sizeof buf, "%s{\"input\":%u,\"producer\":", i ? "," : "", in.input);
      out += buf;
      json::quote(out, in.producer);
      std::snprintf(buf, sizeof buf,
                    ",\"bytes\":%" PRIu64 ",\"seconds\":%.9g,\"most_bytes\":%" PRIu64 ",\"most_seconds\":%.9g}",
                    in.bytes, in.seconds, in.mostBytes, in.mostSeconds);
      out += buf;
    }
    out += "]}";
  }
  out += "\n]}\n";
  return out;
}

std::string metricsTable(const GraphMetrics& m) {
  std::string out;
  char buf[256];
  std::snprintf(buf, sizeof buf, "%-12s %9s %9s %9s %9s %9s %9s %9s %6s %8s\n", "stage", "steps", "step ms",
                "p99 ms", "e2e ms", "e2e p99", "in-wait s", "behind s", "slow", "dropouts");
  out += buf;
  for (const StageMetrics& s : m.stages) {
    if (!s.task) continue;
    double behind = 0;
    for (const InputMetrics& in : s.inputs) behind = std::max(behind, in.mostSeconds);
    std::snprintf(buf, sizeof buf, "%-12.12s %9" PRIu64 " %9.3f %9.3f %9.2f %9.2f %9.2f %9.3f %6" PRIu64 " %8" PRIu64 "\n",
                  s.name.c_str(), s.steps, s.stepTime.mean * 1e3, s.stepTime.p99 * 1e3, s.latency.mean * 1e3,
                  s.latency.p99 * 1e3, s.inputWaitSeconds, behind, s.slowSteps, s.dropouts);
    out += buf;
  }
  return out;
}

}  // namespace zkflow

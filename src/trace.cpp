// SPDX-License-Identifier: Apache-2.0
#include "zkflow/trace.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "host/ticks.h"
#include "host/tracebuf.h"
#include "src/graphwalk.h"

namespace zkflow {

void startTrace(std::size_t eventsPerThread) { trace::start(eventsPerThread); }
void stopTrace() { trace::stop(); }
bool tracing() { return trace::on(); }
void clearTrace() { trace::clear(); }
void setTraceWorkerQuery(int (*query)()) { trace::setWorkerQuery(query); }

namespace {

const char* category(trace::Kind k) { return k == trace::Kind::Handle ? "queue" : "flow"; }

}  // namespace

std::string traceJson() {
  trace::Recording r = trace::collect();
  const double usPerTick = 1e6 / ticksPerSecond();
  const auto us = [&](uint64_t t) { return t > r.startTicks ? static_cast<double>(t - r.startTicks) * usPerTick : 0.0; };
  uint64_t dropped = 0;
  std::string out = "{\"traceEvents\":[\n";
  out += "{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":1,\"tid\":0,\"args\":{\"name\":\"zkflow\"}}";
  char line[160];
  for (trace::ThreadRecord& t : r.threads) {
    dropped += t.dropped;
    std::snprintf(line, sizeof line, ",\n{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":%u,\"args\":{\"name\":", t.thread);
    out += line;
    json::quote(out, t.label);
    out += "}}";
    // Enclosing spans first where two begin together (a cycle and its first
    // step), as viewers nest them in file order.
    std::stable_sort(t.events.begin(), t.events.end(), [](const trace::Event& a, const trace::Event& b) {
      return a.begin != b.begin ? a.begin < b.begin : a.end > b.end;
    });
    for (const trace::Event& e : t.events) {
      const trace::Kind kind = e.kind();
      const char* name = trace::name(kind);
      const char* argName = trace::argName(kind);
      if (e.end != 0) {
        std::snprintf(line, sizeof line, ",\n{\"name\":\"%s\",\"cat\":\"%s\",\"ph\":\"X\",\"pid\":1,\"tid\":%u,\"ts\":%.3f,\"dur\":%.3f",
                      name, category(kind), t.thread, us(e.begin), e.end > e.begin ? static_cast<double>(e.end - e.begin) * usPerTick : 0.0);
      } else {
        std::snprintf(line, sizeof line, ",\n{\"name\":\"%s\",\"cat\":\"%s\",\"ph\":\"i\",\"s\":\"t\",\"pid\":1,\"tid\":%u,\"ts\":%.3f",
                      name, category(kind), t.thread, us(e.begin));
      }
      out += line;
      out += ",\"args\":{\"task\":";
      json::quote(out, e.track() >= 1 && e.track() <= r.tracks.size() ? r.tracks[e.track() - 1] : std::string());
      if (argName) {
        std::snprintf(line, sizeof line, ",\"%s\":%" PRId32, argName, e.arg);
        out += line;
      }
      out += "}}";
    }
  }
  std::snprintf(line, sizeof line, "\n],\"displayTimeUnit\":\"ms\",\"otherData\":{\"seconds\":%.6f,\"dropped_events\":%" PRIu64 "}}\n",
                us(r.stopTicks) / 1e6, dropped);
  out += line;
  return out;
}

bool writeTrace(const char* path) {
  if (!path) return false;
  const std::string text = traceJson();
  std::FILE* f = std::fopen(path, "w");
  if (!f) return false;
  const bool wrote = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && wrote;
}

}  // namespace zkflow

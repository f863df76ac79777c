// SPDX-License-Identifier: Apache-2.0
// zkflow::Graph: a streaming graph that owns its stages and the flows
// between them, starts them in the right order and winds them down.
//
//   zkflow::Graph g;
//   auto* tone = zkflow::tone(g, zkflow::Format::int16(2, 48000), 440, 0.5, 48000);
//   auto* gain = zkflow::gain(g, 0.8);
//   auto* file = zkflow::writeWav(g, "out.wav");
//   g.connect(tone, gain);
//   g.connect(gain, file);
//   g.run();  // until the tone has made its 48000 frames and the file is written
//
// Connecting checks formats: the consumer must accept what the producer gives
// (see Format), or connect() returns Error::FormatMismatch and changes
// nothing. Connect upstream first: a transform's output format may follow its
// input's. A producer may feed up to four consumers; the graph puts a fork
// between them, which gives each consumer every packet.
//
// start() starts consumers before producers, so that nothing waits for a
// stage that is not there yet. run() starts and waits until the sources have
// ended and everything they made has reached the sinks. stop() winds down
// from the sources within a deadline, and names the stages that did not end
// in time, with where each was waiting. The destructor stops what still
// runs; it never waits longer than its deadline (see ~Graph).
//
// Back-pressure and loss: in a graph without a paced source nothing is ever
// dropped; a fork waits for its slowest consumer. With a paced source the
// fork keeps pace with its first consumer, and another consumer that falls
// more than about a second behind loses what lies beyond that second
// (lostBytes counts it).
//
// Thread safety: one thread builds and controls a graph (add, connect, start,
// run, wait, stop, the destructor). The stages run on threads of their own.
// When run() or wait() returns true, everything the stages did is visible to
// the caller.
//
// Errors: every operation returns a value (Error, false, null); bad calls
// also log a line in category "zkflow". Nothing throws.
#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "zkflow/host/export.h"
#include "zkflow/format.h"
#include "zkflow/span.h"
#include "zkflow/stage.h"

struct ZtFlowTask;

namespace zkflow {

enum class Error {
  None = 0,
  NullStage,       // a stage argument was null (a factory that failed)
  NotInGraph,      // the stage belongs to another graph
  NoOutput,        // the producer is a sink
  NoInput,         // the consumer is a source
  InputTaken,      // the consumer already has a producer
  TooManyOutputs,  // the producer already feeds four consumers
  FormatUnknown,   // the producer's format is not known yet: connect its input first
  FormatMismatch,  // the consumer does not accept the producer's format
  Started,         // the graph has started: it can no longer change
  Unconnected,     // a stage lacks its producer or has no consumer
  StartFailed,     // a stage could not start (see the log)
  StageFailed,     // a stage reported a failure (Context::fail)
  Stuck,           // a stage did not end in time
};
ZKFLOW_EXPORT const char* errorText(Error e);

// A stage that did not end in time: its name and where it was waiting
// (ZtFlowTask::waitingAt, e.g. "reading input 0").
struct Straggler {
  std::string name;
  std::string waitingAt;
};

class ZKFLOW_EXPORT Graph {
 public:
  // How long the destructor gives the stages to wind down.
  static constexpr double kDestroySeconds = 5.0;

  Graph();
  // Stops what still runs (stop(kDestroySeconds)), then deletes the stages
  // and flows. A stage that does not end even when forced (its work never
  // returns) is logged and left allocated with its flows, since its thread
  // still runs in it: the destructor never hangs, at the price of that leak.
  ~Graph();
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // A source from `fn(Context&, Span<T> out) -> size_t`: fills `out` (room
  // for ctx.framesWanted() frames) and returns how many samples it wrote;
  // calls ctx.end() after its last. T must be the sample type of `gives`.
  // A source that returns 0 without ending is called again after a short
  // back-off; one that waits for data (a device, a socket) may wait in fn.
  template <class T, class F>
  Stage* source(std::string name, Format gives, F fn) {
    static_assert(std::is_convertible<std::invoke_result_t<F&, Context&, Span<T>>, std::size_t>::value,
                  "a source is size_t fn(zkflow::Context&, zkflow::Span<T>)");
    if (sampleTypeOf<T>() != gives.sample) return refuse(name, "its sample type differs from its format");
    return add(std::unique_ptr<Stage>(new detail::SourceStage<T, F>(std::move(name), gives, std::move(fn))));
  }
  // A transform from `fn(Context&, Span<const In> in)`, which writes into
  // buffers from ctx.output<Out>(n). Its output format is its input's with
  // the sample type of Out, unless `gives` sets fields of its own.
  template <class In, class Out = In, class F>
  Stage* transform(std::string name, F fn, Format gives = {}) {
    static_assert(std::is_invocable<F&, Context&, Span<const In>>::value,
                  "a transform is fn(zkflow::Context&, zkflow::Span<const In>)");
    gives.sample = sampleTypeOf<Out>();
    return add(std::unique_ptr<Stage>(new detail::ReaderStage<In, F>(
        std::move(name), Stage::Kind::Transform, Format{sampleTypeOf<In>(), 0, 0}, gives, std::move(fn))));
  }
  // A sink from `fn(Context&, Span<const In> in)`. `takes` may narrow what
  // it accepts (channels, rate); its sample type is In's.
  template <class In, class F>
  Stage* sink(std::string name, F fn, Format takes = {}) {
    static_assert(std::is_invocable<F&, Context&, Span<const In>>::value,
                  "a sink is fn(zkflow::Context&, zkflow::Span<const In>)");
    takes.sample = sampleTypeOf<In>();
    return add(std::unique_ptr<Stage>(
        new detail::ReaderStage<In, F>(std::move(name), Stage::Kind::Sink, takes, Format{}, std::move(fn))));
  }
  // Takes ownership of a stage (a built-in element or a class of yours).
  // Returns it, or null for a null stage or once the graph has started.
  Stage* add(std::unique_ptr<Stage> stage);

  // Makes `from`'s output an input of `to`, checking formats; see above.
  Error connect(Stage* from, Stage* to);

  // Starts every stage, consumers first. Error::Unconnected names (in the
  // log) a stage without producer or consumer; Error::StartFailed a stage
  // that would not start, after the others were stopped again.
  Error start();
  // start() unless started, then waits until every stage has ended: None,
  // or StageFailed when a stage called ctx.fail(). Waits as long as the
  // sources run: a source that never ends keeps run() waiting.
  Error run();
  // Waits at most `seconds` for every stage to end; true when they have.
  bool wait(double seconds);
  // Winds down: stops the sources, then waits for the rest to end through
  // the end of their input, all within `seconds`. What has not ended by then
  // is named in the result (empty: everything ended) and then stopped by
  // force. A graph that never started returns an empty list.
  std::vector<Straggler> stop(double seconds = kDestroySeconds);

  // Bytes that did not reach `consumer` because it fell too far behind a
  // paced source (0 in a graph without one, or before start).
  uint64_t lostBytes(const Stage* consumer) const;

  // Every task of the graph, stages and forks, producers before consumers:
  // for pictures of the running graph (zkflow::writeGraphDot) and latency
  // tables.
  std::vector<ZtFlowTask*> tasks() const;

 private:
  Stage* refuse(const std::string& name, const char* why);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zkflow

// SPDX-License-Identifier: Apache-2.0
// zkflow::Stage: one node of a zkflow::Graph, and zkflow::Context, what its
// work sees.
//
// A stage is a source (it makes a stream and ends it), a transform (it reads
// one stream and makes another) or a sink (it reads one stream). Each runs on
// a thread of its own; the graph builds, connects, starts, stops and deletes
// stages, so a program never does any of that by hand. Most stages are made
// from a lambda (Graph::source, transform, sink) or are built-in elements
// (elements.h); a class derived from Stage is the third way, for elements
// that keep files or other resources (see work(), begin() and finish()).
//
// The work function of a stage gets a typed, read-only view of the samples
// that arrived (Span<const int16_t>, always whole frames, all channels
// interleaved) and asks its Context for a writable buffer of its output
// format (ctx.output<int16_t>(n)); the buffer goes downstream when the
// function returns. Nothing is allocated or freed by the user: the buffer is
// the packet that travels, with no copy on the way.
//
// Thread safety: a stage's work, begin() and finish() run on the stage's own
// thread, one call at a time; they may keep state in the lambda's captures or
// the derived class without a lock. Everything else of Stage is for the
// graph's owner, on any thread: the accessors read what the stage's thread
// publishes (atomics). A Stage is a ZtFlowTask; its kernel members (latency,
// dropouts) are there for those who need them, but the graph alone starts
// and stops it.
//
// Ownership: the graph owns its stages (Graph::add takes a unique_ptr); a
// Stage* handed out stays valid as long as the graph. The graph ends a
// stage's loop before it deletes it, so a derived class needs no destructor
// that stops anything.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "zkflow/host/export.h"
#include "zkflow/flow/flowpacket.h"
#include "zkflow/flow/flowtask.h"
#include "zkflow/format.h"
#include "zkflow/span.h"

namespace zkflow {

class Stage;

// What a stage's work function sees during one call. Made by the stage; use
// it only on the stage's thread, during the call.
class ZKFLOW_EXPORT Context {
 public:
  const char* name() const;
  // The format the stage reads (as resolved when it was connected) and the
  // one it writes. A source has no input format.
  const Format& inputFormat() const;
  const Format& outputFormat() const;
  // Frames that came before this call: read so far (transforms, sinks) or
  // made so far (sources). The first call sees 0.
  uint64_t frame() const;
  // A source's call is asked for this many frames (at least 1).
  std::size_t framesWanted() const;

  // A writable buffer for `samples` samples of the output format (rounded
  // down to whole frames), sent downstream when the work function returns,
  // or when output() is asked again. Empty, with a log line, when T is not
  // the output's sample type or when memory runs short. Zero-filled.
  template <class T>
  Span<T> output(std::size_t samples) {
    if (!typeFits(sampleTypeOf<T>())) return {};
    const Span<unsigned char> b = outputBytes(samples * sizeof(T));
    return {reinterpret_cast<T*>(b.data()), b.size() / sizeof(T)};
  }
  // The same as raw bytes, whatever the sample type: `bytes` rounded down
  // to whole frames. For stages that move bytes (files).
  Span<unsigned char> outputBytes(std::size_t bytes);
  // Sends only the first `samples` (or bytes) of the latest buffer, rounded
  // down to whole frames; the rest is never sent. For a source that made
  // fewer frames than it asked room for.
  void keep(std::size_t samples);
  void keepBytes(std::size_t bytes);

  // A source: the stream ends after this call; the graph winds down from
  // here. A transform or sink: it reads no more (what still arrives is
  // dropped, so its producer never waits on it).
  void end();
  // Logs "<stage>: <what>", marks the stage failed (Graph::run reports it)
  // and ends it as end() does.
  void fail(const char* what);

 private:
  friend class Stage;
  explicit Context(Stage& s) : stage_(s) {}
  bool typeFits(SampleType t);
  Stage& stage_;
};

class ZKFLOW_EXPORT Stage : public ZtFlowTask {
 public:
  enum class Kind { Source, Transform, Sink };

  ~Stage() override;
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

  Kind kind() const { return kind_; }
  // What the stage reads (wildcards until it is connected) and writes.
  const Format& inputFormat() const { return takes_; }
  const Format& outputFormat() const { return gives_; }
  // Its loop has ended, or it never started.
  bool ended() const { return done() || !started(); }
  // Its work called ctx.fail().
  bool failed() const { return failed_.load(std::memory_order_acquire); }
  // A source made paced keeps its output about one cycle ahead of real time
  // (clock regulation) instead of running as fast as its consumers read.
  // Set before the graph starts.
  void paced(bool on) { clockRegulated(on); }
  bool paced() const { return clockRegulated(); }

 protected:
  // `takes` may hold wildcards (see Format); `gives` too for a transform,
  // whose unset fields are then those of its input.
  Stage(std::string name, Kind kind, Format takes, Format gives);

  // The stage's work, on its thread: `in` holds whole frames of the input
  // format (empty for a source, which is asked for ctx.framesWanted()).
  virtual void work(Context& ctx, Span<const unsigned char> in) = 0;
  // On the stage's thread, before the first work and after the last (the
  // input has ended or the source has). finish() cannot send anything.
  virtual void begin(Context&) {}
  virtual void finish(Context&) {}

 private:
  friend class Context;
  friend class Graph;

  // The kernel's hooks.
  const char* taskName() const override { return name_.c_str(); }
  void taskRateInfo(ZtFlowRequestRate& r) override;
  void taskInit() override;
  void taskStop() override;
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int outCount, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override;

  // Cuts what arrives into whole frames for work(), keeping a frame split
  // across two packets until its end arrives.
  void feed(const unsigned char* data, std::size_t size);
  void callWork(const unsigned char* data, std::size_t size);
  // Sends the pending buffer downstream; returns its bytes.
  std::size_t sendPending();

  // Constant after the graph started.
  const std::string name_;
  const Kind kind_;
  Format takes_;
  Format gives_;
  // Called on the stage's thread when it ends (the graph's wake-up).
  void (*onEnd_)(void*) = nullptr;
  void* onEndArg_ = nullptr;

  // The stage's thread's own.
  Context ctx_;
  ZtFlowEmitFn emit_ = nullptr;
  ZtPacket* pending_ = nullptr;  // the buffer output() gave, not yet sent
  std::size_t pendingBytes_ = 0;
  uint64_t framesIn_ = 0;
  uint64_t bytesOut_ = 0;
  std::size_t wanted_ = 1;
  bool ending_ = false;
  std::vector<unsigned char> carry_;  // a frame's first bytes
  std::size_t carryBytes_ = 0;
  std::vector<unsigned char> scratch_;  // input that is not aligned for its samples

  std::atomic<bool> failed_{false};
};

namespace detail {

// The stages made from lambdas. Each adapts a typed function to work().
template <class T, class F>
class SourceStage final : public Stage {
 public:
  SourceStage(std::string name, Format gives, F fn)
      : Stage(std::move(name), Kind::Source, Format{}, gives), fn_(std::move(fn)) {}

 private:
  void work(Context& ctx, Span<const unsigned char>) override {
    const Span<T> out = ctx.output<T>(ctx.framesWanted() * ctx.outputFormat().channels);
    if (out.empty()) return;
    ctx.keep(fn_(ctx, out));
  }
  F fn_;
};

template <class In, class F>
class ReaderStage final : public Stage {
 public:
  ReaderStage(std::string name, Kind kind, Format takes, Format gives, F fn)
      : Stage(std::move(name), kind, takes, gives), fn_(std::move(fn)) {}

 private:
  void work(Context& ctx, Span<const unsigned char> in) override {
    fn_(ctx, Span<const In>(reinterpret_cast<const In*>(in.data()), in.size() / sizeof(In)));
  }
  F fn_;
};

}  // namespace detail
}  // namespace zkflow

// SPDX-License-Identifier: Apache-2.0
#include "zkflow/graph.h"

#include <algorithm>
#include <limits>

#include "zkflow/host/clock.h"
#include "zkflow/host/log.h"
#include "zkflow/host/simtime.h"
#include "zkflow/host/zsys.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowfork.h"

namespace zkflow {
namespace {

const char kFile[] = "src/graph";

// Deadlines are on the shared clock, which is the simulated one while that
// is on: a graph's stop(10) then means ten seconds of its own time.
double now() { return ZtClock::timeNow().seconds(); }

double after(double seconds) {
  // Beyond a year is for ever: run() waits that way.
  if (!(seconds < 3.2e7)) return std::numeric_limits<double>::infinity();
  return now() + (seconds > 0 ? seconds : 0);
}

double left(double until) {
  const double s = until - now();
  return s > 0 ? s : 0;
}

bool ended(const ZtFlowTask* t) { return t->done() || !t->started(); }

}  // namespace

const char* errorText(Error e) {
  switch (e) {
    case Error::None: return "no error";
    case Error::NullStage: return "no stage (a stage that could not be made?)";
    case Error::NotInGraph: return "the stage belongs to another graph";
    case Error::NoOutput: return "a sink has no output to connect";
    case Error::NoInput: return "a source has no input to connect";
    case Error::InputTaken: return "the consumer already has a producer";
    case Error::TooManyOutputs: return "the producer already feeds four consumers";
    case Error::FormatUnknown: return "the producer's format is not known yet: connect its input first";
    case Error::FormatMismatch: return "the consumer does not accept the producer's format";
    case Error::Started: return "the graph has started";
    case Error::Unconnected: return "a stage is not connected";
    case Error::StartFailed: return "a stage did not start";
    case Error::StageFailed: return "a stage failed";
    case Error::Stuck: return "a stage did not end in time";
  }
  return "unknown error";
}

struct Graph::Impl {
  struct Node {
    std::unique_ptr<Stage> stage;
    Stage* producer = nullptr;
    std::vector<Stage*> consumers;
    ZtFlowFork* fork = nullptr;  // between it and its consumers, when more than one
  };
  std::vector<Node> nodes;  // in the order added
  std::vector<std::unique_ptr<ZtFlow>> flows;
  std::vector<std::unique_ptr<ZtFlowFork>> forks;
  // Stages and forks, producers before consumers; filled by start().
  std::vector<ZtFlowTask*> order;
  bool started = false;
  // Stages tell their end here (on their own threads), waking wait(): a
  // word of the host's waits, so that a wait for the graph lets simulated
  // time jump.
  std::atomic<uint32_t> told{0};  // ends told so far

  static void wake(void* self) {
    auto* impl = static_cast<Impl*>(self);
    impl->told.fetch_add(1, std::memory_order_acq_rel);
    wakeWord(impl->told);
  }
  Node* find(const Stage* s) {
    for (Node& n : nodes)
      if (n.stage.get() == s) return &n;
    return nullptr;
  }
  bool allEnded() const {
    for (const ZtFlowTask* t : order)
      if (!ended(t)) return false;
    return true;
  }
  ZtFlow* newFlow() {
    flows.emplace_back(new ZtFlow);
    return flows.back().get();
  }
  bool wire(Node& n, bool paced);
  void visit(Stage* s);
};

// Joins a producer to its consumers: one flow, or a fork when there are more.
bool Graph::Impl::wire(Node& n, bool paced) {
  if (n.consumers.empty()) return true;
  ZtFlow* out = newFlow();
  if (!out || !n.stage->addOutput(out)) return false;
  if (n.consumers.size() == 1) return n.consumers[0]->addInput(out);
  forks.emplace_back(new ZtFlowFork(out, static_cast<ZtFlow*>(nullptr)));
  ZtFlowFork* fork = n.fork = forks.back().get();
  if (!fork) return false;
  for (unsigned i = 0; i < n.consumers.size(); ++i) {
    ZtFlow* f = newFlow();
    if (!f || !fork->addOutput(f) || !n.consumers[i]->addInput(f)) return false;
    // Offline, a fork waits for its slowest consumer: nothing is lost.
    // Behind a paced source it keeps the source's pace instead.
    if (!paced) fork->outputPolicy(i, ZtFlowTask::OutputPolicy::Block);
  }
  return true;
}

void Graph::Impl::visit(Stage* s) {
  order.push_back(s);
  Node* n = find(s);
  if (n->fork) order.push_back(n->fork);
  for (Stage* c : n->consumers) visit(c);
}

Graph::Graph() : impl_(new Impl) {}

Graph::~Graph() {
  stop(kDestroySeconds);
  if (!impl_->allEnded()) {
    // A thread still runs in a stage: deleting it, or the flows it uses,
    // would pull memory from under that thread. Leave them all.
    Utils::Log::theLog()->print(Utils::MsgFault, "zkflow", -3, kFile, __LINE__,
                                "graph destroyed with stages still running: they are left allocated");
    for (auto& n : impl_->nodes) (void)n.stage.release();
    for (auto& f : impl_->forks) (void)f.release();
    for (auto& f : impl_->flows) (void)f.release();
    return;
  }
  // Tasks before flows: a task detaches itself from its flows as it goes.
  impl_->forks.clear();
  impl_->nodes.clear();
  impl_->flows.clear();
}

Stage* Graph::refuse(const std::string& name, const char* why) {
  Utils::Log::theLog()->print(Utils::MsgFault, "zkflow", -3, kFile, __LINE__, "stage %s not made: %s",
                              name.c_str(), why);
  return nullptr;
}

Stage* Graph::add(std::unique_ptr<Stage> stage) {
  if (!stage) return refuse("?", "no memory");
  if (impl_->started) return refuse(stage->name(), errorText(Error::Started));
  stage->onEnd_ = &Impl::wake;
  stage->onEndArg_ = impl_.get();
  impl_->nodes.push_back({std::move(stage), nullptr, {}, nullptr});
  return impl_->nodes.back().stage.get();
}

Error Graph::connect(Stage* from, Stage* to) {
  Error e = Error::None;
  Impl::Node* a = from ? impl_->find(from) : nullptr;
  Impl::Node* b = to ? impl_->find(to) : nullptr;
  if (!from || !to) e = Error::NullStage;
  else if (!a || !b) e = Error::NotInGraph;
  else if (impl_->started) e = Error::Started;
  else if (from->kind() == Stage::Kind::Sink) e = Error::NoOutput;
  else if (to->kind() == Stage::Kind::Source) e = Error::NoInput;
  else if (b->producer) e = Error::InputTaken;
  else if (a->consumers.size() >= ZtFlowUnit::kMaxFlows) e = Error::TooManyOutputs;
  // A stage's output is known once its input is, so no connection can
  // close a loop: the stage that would close it has no known output yet.
  else if (!from->gives_.complete()) e = Error::FormatUnknown;
  else if (!to->takes_.accepts(from->gives_)) e = Error::FormatMismatch;
  if (e != Error::None) {
    Utils::Log::theLog()->print(
        Utils::MsgFault, "zkflow", -3, kFile, __LINE__, "cannot connect %s to %s: %s%s%s%s%s",
        from ? from->name() : "null", to ? to->name() : "null", errorText(e),
        e == Error::FormatMismatch ? " (it gives " : "", e == Error::FormatMismatch ? from->gives_.text().c_str() : "",
        e == Error::FormatMismatch ? ", takes " : "", e == Error::FormatMismatch ? (to->takes_.text() + ")").c_str() : "");
    return e;
  }
  to->takes_ = from->gives_;
  if (to->kind() == Stage::Kind::Transform) {
    // A transform writes its input's format but for the fields it sets.
    Format& g = to->gives_;
    if (g.sample == SampleType::Any) g.sample = to->takes_.sample;
    if (g.channels == 0) g.channels = to->takes_.channels;
    if (g.rate == 0) g.rate = to->takes_.rate;
  }
  a->consumers.push_back(to);
  b->producer = from;
  return Error::None;
}

Error Graph::start() {
  Impl& g = *impl_;
  if (g.started) return Error::Started;
  bool paced = false;
  for (Impl::Node& n : g.nodes) {
    const bool noInput = n.stage->kind() != Stage::Kind::Source && !n.producer;
    const bool noOutput = n.stage->kind() != Stage::Kind::Sink && n.consumers.empty();
    if (noInput || noOutput) {
      Utils::Log::theLog()->print(Utils::MsgFault, "zkflow", -3, kFile, __LINE__, "%s has no %s",
                                  n.stage->name(), noInput ? "producer" : "consumer");
      return Error::Unconnected;
    }
    paced = paced || n.stage->paced();
  }
  g.started = true;
  for (Impl::Node& n : g.nodes) {
    if (!g.wire(n, paced)) {
      Utils::Log::theLog()->print(Utils::MsgFault, "zkflow", -3, kFile, __LINE__, "no memory for the flows of %s",
                                  n.stage->name());
      return Error::StartFailed;
    }
  }
  for (Impl::Node& n : g.nodes)
    if (n.stage->kind() == Stage::Kind::Source) g.visit(n.stage.get());
  // Consumers first: a fork checks the rates that its consumers publish
  // when they start, and a producer must find its consumer reading.
  for (auto t = g.order.rbegin(); t != g.order.rend(); ++t) {
    if (!(*t)->start()) {
      Utils::Log::theLog()->print(Utils::MsgFault, "zkflow", -3, kFile, __LINE__, "%s did not start",
                                  (*t)->name());
      stop(kDestroySeconds);
      return Error::StartFailed;
    }
  }
  return Error::None;
}

Error Graph::run() {
  if (!impl_->started) {
    const Error e = start();
    if (e != Error::None) return e;
  }
  wait(std::numeric_limits<double>::infinity());
  for (const Impl::Node& n : impl_->nodes)
    if (n.stage->failed()) return Error::StageFailed;
  return Error::None;
}

bool Graph::wait(double seconds) {
  const double until = after(seconds);
  for (uint32_t seen = impl_->told.load(std::memory_order_acquire); !impl_->allEnded();) {
    const double rest = left(until);
    if (rest <= 0) return false;
    if (impl_->told.load(std::memory_order_acquire) == seen) {
      // Forks tell nothing: look again now and then.
      waitWord(impl_->told, seen, rest < 0.01 ? rest : 0.01);
      continue;
    }
    // A stage tells its end a moment before its loop sets done: yield for
    // that moment rather than sleep through a whole period.
    seen = impl_->told.load(std::memory_order_acquire);
    for (int spins = 0; spins < 1000 && !impl_->allEnded(); ++spins) ZIF_Yield();
  }
  return true;
}

std::vector<Straggler> Graph::stop(double seconds) {
  std::vector<Straggler> late;
  if (!impl_->started) return late;
  const double until = after(seconds);
  // From the sources: their ends travel down the graph as end-of-flow
  // markers, so everything already made still reaches the sinks.
  for (Impl::Node& n : impl_->nodes)
    if (n.stage->kind() == Stage::Kind::Source && !ended(n.stage.get())) n.stage->stopWithin(left(until));
  wait(left(until));
  std::vector<ZtFlowTask*> stuck;
  for (ZtFlowTask* t : impl_->order) {
    if (ended(t)) continue;
    const char* where = t->waitingAt();
    late.push_back({t->name(), where ? where : ""});
    stuck.push_back(t);
  }
  // Too late for an orderly end: stop them where they are.
  for (ZtFlowTask* t : stuck) t->stopWithin(1.0);
  return late;
}

uint64_t Graph::lostBytes(const Stage* consumer) const {
  Impl::Node* n = consumer ? impl_->find(consumer) : nullptr;
  if (!impl_->started || !n || !n->producer) return 0;
  // The flow into `consumer` is output 0 of its producer, or output i of
  // the fork that serves the producer's i-th consumer.
  const Impl::Node* p = impl_->find(n->producer);
  if (!p->fork) return n->producer->overrunBytes(0);
  const auto i = std::find(p->consumers.begin(), p->consumers.end(), consumer) - p->consumers.begin();
  return p->fork->overrunBytes(static_cast<unsigned>(i));
}

std::vector<ZtFlowTask*> Graph::tasks() const {
  if (impl_->started) return impl_->order;
  std::vector<ZtFlowTask*> all;
  for (const Impl::Node& n : impl_->nodes) all.push_back(n.stage.get());
  return all;
}

}  // namespace zkflow

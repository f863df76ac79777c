// SPDX-License-Identifier: Apache-2.0
// Peer for the flow-graph benchmarks: oneTBB's flow graph.
//  - runTbbChain: input_node -> limiter_node(limit) -> `stages` serial
//    function_nodes, the first of which makes and fills the payload (the
//    source's work), the middle ones hand it on and the last reads and frees
//    it and tells the limiter that one item has left.
//  - runTbbBroadcast: input_node (makes the payload) -> limiter_node ->
//    broadcast_node -> 2 serial multifunction_nodes; the sink that reads an
//    item last frees it and tells the limiter.
// The graph runs on TBB's own worker threads (one per core).
#pragma once

#ifdef ZKFLOW_HAVE_TBB
#include <tbb/flow_graph.h>

#include <atomic>
#include <cstdint>
#include <tuple>
#include <vector>

#include "peers/payload.h"

namespace peers {

// Returns the bytes the sink saw. REQUIRES: stages >= 2.
inline uint64_t runTbbChain(unsigned int stages, uint64_t packets, unsigned int size, size_t limit) {
  using namespace tbb::flow;
  graph g;
  uint64_t next = 0;
  input_node<uint64_t> source(g, [&](tbb::flow_control& fc) -> uint64_t {
    if (next >= packets) {
      fc.stop();
      return 0;
    }
    return next++;
  });
  limiter_node<uint64_t> limiter(g, limit);
  function_node<uint64_t, Payload*> make(g, serial, [size](uint64_t seq) {
    return new Payload(size, seq, 1);
  });
  std::vector<std::unique_ptr<function_node<Payload*, Payload*>>> middle;
  for (unsigned int k = 2; k < stages; ++k)
    middle.push_back(std::make_unique<function_node<Payload*, Payload*>>(g, serial, [](Payload* p) { return p; }));
  uint64_t seen = 0;
  function_node<Payload*, continue_msg> sink(g, serial, [&seen](Payload* p) {
    if (p->read(seen)) delete p;
    return continue_msg();
  });
  make_edge(source, limiter);
  make_edge(limiter, make);
  if (middle.empty()) {
    make_edge(make, sink);
  } else {
    make_edge(make, *middle.front());
    for (size_t k = 1; k < middle.size(); ++k) make_edge(*middle[k - 1], *middle[k]);
    make_edge(*middle.back(), sink);
  }
  make_edge(sink, limiter.decrementer());
  source.activate();
  g.wait_for_all();
  return seen;
}

// Returns the bytes both sinks saw together.
inline uint64_t runTbbBroadcast(uint64_t packets, unsigned int size, size_t limit) {
  using namespace tbb::flow;
  graph g;
  uint64_t next = 0;
  input_node<Payload*> source(g, [&](tbb::flow_control& fc) -> Payload* {
    if (next >= packets) {
      fc.stop();
      return nullptr;
    }
    return new Payload(size, next++, 2);
  });
  // An integer decrement: a continue_msg decrementer would wait for a
  // message from each of its two predecessors before it counted one.
  limiter_node<Payload*, int> limiter(g, limit);
  broadcast_node<Payload*> fan(g);
  using Sink = multifunction_node<Payload*, std::tuple<int>>;
  uint64_t seen[2] = {0, 0};
  auto body = [](uint64_t* s) {
    return [s](Payload* p, Sink::output_ports_type& out) {
      if (p->read(*s)) {
        delete p;
        std::get<0>(out).try_put(1);
      }
    };
  };
  Sink a(g, serial, body(&seen[0]));
  Sink b(g, serial, body(&seen[1]));
  make_edge(source, limiter);
  make_edge(limiter, fan);
  make_edge(fan, a);
  make_edge(fan, b);
  make_edge(output_port<0>(a), limiter.decrementer());
  make_edge(output_port<0>(b), limiter.decrementer());
  source.activate();
  g.wait_for_all();
  return seen[0] + seen[1];
}

}  // namespace peers
#endif

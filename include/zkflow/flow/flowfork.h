// SPDX-License-Identifier: Apache-2.0
// ZtFlowFork: one input flow copied to up to four output flows.
//
// Every packet that arrives on the input goes out on every output as a copy
// of its own (the copies of a data packet share the stored packet), placed
// at that output's current position. The consumers on the outputs must all
// ask for the same data rate; the fork checks the rates that they have
// published on its output flows when it starts, logs what is wrong, and
// refuses to start otherwise.
//
// Build order: attach the outputs, start the consumers, then start the fork
// (the check reads what the consumers' loops publish at start-up).
//
// Everything else is the flow task's: its loop, its back-pressure (output 0
// alone decides when the fork sleeps and wakes), its EndOfFlow on every
// output when it ends. A fork that refuses to start has run and been stopped,
// so its consumers see EndOfFlow all the same.
//
// Thread safety: as for ZtFlowTask. The rate check runs on the thread that
// calls start().
#pragma once

#include <initializer_list>

#include "zkflow/host/export.h"
#include "zkflow/flow/flowtask.h"

struct ZKFLOW_EXPORT ZtFlowFork : ZtFlowTask {
  // The last rate check found a started consumer on output 0 and the same
  // requested data rate on every output.
  bool ratesMatch;

  // Attaches `input` (not null) as the input, then the output flows that
  // follow, up to a null pointer that must end the list (without it the
  // arguments are read past their end). An output beyond the fourth is
  // refused with the line "flow fork output refused: a fork has at most 4
  // outputs" and left unattached.
  explicit ZtFlowFork(ZtFlow* input, ...);
  // The same with the outputs in a list, which needs no end marker: `ZtFlowFork
  // fork(&in, {&a, &b});`. Null entries are skipped.
  ZtFlowFork(ZtFlow* input, std::initializer_list<ZtFlow*> outputs);
  ZtFlowFork(const ZtFlowFork& o);
  ZtFlowFork& operator=(const ZtFlowFork& o);
  // Stops the loop first: it calls into this class.
  ~ZtFlowFork() override;

  // Copies in[0] to every output through emit; returns 0 (the emits have
  // advanced the outputs).
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int outCount, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override;
  // ratesMatch.
  bool taskStart() override;
  // Duration 0.2 s, rate 5/s, durationMin 0.1 s, durationMax 0.5 s; the data
  // rate is the one the consumers ask for, checked across the outputs.
  void taskRateInfo(ZtFlowRequestRate& r) override;
  const char* taskName() const override;

 protected:
  ZKFLOW_INTERNAL void init();

 private:
  // addOutput, with the line for an output beyond the fourth.
  ZKFLOW_INTERNAL void attachOutput(ZtFlow* output);
};

// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/flowfork.h"

#include <cstdarg>
#include <typeinfo>

#include "zkflow/host/log.h"
#include "zkflow/flow/flow.h"

namespace {

const char* const kFile = "kernel/flow/flowfork";

}  // namespace

ZtFlowFork::ZtFlowFork(ZtFlow* input, ...) {
  init();
  addInput(input);
  va_list args;
  va_start(args, input);
  while (ZtFlow* f = va_arg(args, ZtFlow*)) attachOutput(f);
  va_end(args);
}

ZtFlowFork::ZtFlowFork(ZtFlow* input, std::initializer_list<ZtFlow*> outputs) {
  init();
  addInput(input);
  for (ZtFlow* f : outputs)
    if (f) attachOutput(f);
}

void ZtFlowFork::attachOutput(ZtFlow* output) {
  if (outputCount() < kMaxFlows) {
    addOutput(output);
    return;
  }
  Utils::Log::theLog()->print(Utils::MsgFault, "flow", -3, kFile, __LINE__,
                              "flow fork output refused: a fork has at most 4 outputs");
}

ZtFlowFork::ZtFlowFork(const ZtFlowFork& o) : ZtFlowTask(o), ratesMatch(o.ratesMatch) {}

ZtFlowFork& ZtFlowFork::operator=(const ZtFlowFork& o) {
  if (this != &o) {
    ZtFlowTask::operator=(o);
    ratesMatch = o.ratesMatch;
  }
  return *this;
}

ZtFlowFork::~ZtFlowFork() { stop(); }

void ZtFlowFork::init() { ratesMatch = false; }

const char* ZtFlowFork::taskName() const { return "ZtFlowFork"; }

bool ZtFlowFork::taskStart() { return ratesMatch; }

void ZtFlowFork::taskRateInfo(ZtFlowRequestRate& r) {
  r.duration(Utils::Time::fromRaw(13107));     // 0.2 s, truncated
  r.rate(Utils::Time::fromRaw(327685));        // 2^32 / 13107: five a second
  r.durationMin(Utils::Time::fromRaw(6553));   // 0.1 s, truncated
  r.durationMax(Utils::Time::fromRaw(32768));  // 0.5 s
  const unsigned int outCount = outputCount();
  if (outCount == 0 || !output(0)) return;
  const unsigned int d0 = output(0)->requestDataRate();
  if (d0 == 0) {
    Utils::Log::theLog()->print(Utils::MsgFault, "flow", -3, kFile, 74,
                                "flow fork primary output task not started");
    return;
  }
  ratesMatch = true;
  // Every output is examined, and each failing one logged once.
  for (unsigned int j = 1; j < outCount && j < kMaxFlows; ++j) {
    ZtFlow* f = output(j);
    const unsigned int d = f ? f->requestDataRate() : 0;
    if (d == 0) {
      Utils::Log::theLog()->print(Utils::MsgFault, "flow", -3, kFile, 81,
                                  "flow fork output task not started");
      ratesMatch = false;
    } else if (d != d0) {
      Utils::Log::theLog()->print(Utils::MsgFault, "flow", -3, kFile, 86,
                                  "flow fork output task rates do not match");
      ratesMatch = false;
    }
  }
  r.dataRate(d0);
}

unsigned int ZtFlowFork::taskHandleFlow(unsigned int inCount, unsigned int outCount,
                                        ZtFlowPacket** in, ZtFlowEmitFn emit) {
  ZtFlowPacket* p = inCount ? in[0] : nullptr;
  if (!p || !emit) return 0;
  // Copies are placed relative to each output's own position.
  p->pos(0);
  // The last output may get the input packet itself instead of a copy: the
  // loop's read gave us a packet of our own (a copy, or one the flow handed
  // over), the copy would equal it field for field (pos 0, clipped nowhere),
  // and the loop only drops it after we return. That saves an allocation and
  // a count on the shared stored packet per packet. Only for the library's
  // own classes, whose readAt() is that plain copy; the count must be ours
  // alone, or another holder could see the packet move.
  const bool handOver = p->refCount() == 1 &&
                        (typeid(*p) == typeid(ZtFlowDataPacket) || typeid(*p) == typeid(ZtFlowPacket));
  for (unsigned int i = 0; i < outCount; ++i) {
    if (handOver && i + 1 == outCount) {
      // The output flow takes a reference of its own; the loop's stays and
      // is dropped by the loop as usual.
      emit(this, i, p);
      break;
    }
    unsigned int at = 0;
    ZtFlowPacket* copy = p->readAt(at);
    if (!copy) {
      // No memory for this output's copy: its range is left as a hole there,
      // so that what follows stays at the positions it belongs to.
      flowPosOut_[i] += p->size();
      continue;
    }
    emit(this, i, copy);
    // The output flow holds its own reference now; ours goes.
    ZtFlowPacket::drop(copy);
  }
  return 0;
}

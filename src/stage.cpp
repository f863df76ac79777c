// SPDX-License-Identifier: Apache-2.0
// A stage is a flow task with one input and one output: this file adapts the
// kernel's loop (packets, positions, emit functions) to whole frames in and
// typed buffers out.
#include "zkflow/stage.h"

#include <cstdint>
#include <cstring>

#include "zkflow/host/log.h"
#include "zkflow/host/time.h"
#include "zkflow/flow/packet.h"

namespace zkflow {
namespace {

const char kFile[] = "src/stage";

// The largest power of two that divides n (n > 0): the loop's granularity
// must be a power of two, and the largest one that divides a frame keeps
// most cycles on frame boundaries.
unsigned int lowBit(unsigned int n) { return n == 0 ? 1 : n & (0u - n); }

}  // namespace

// ------------------------------------------------------------------ Context

const char* Context::name() const { return stage_.name_.c_str(); }
const Format& Context::inputFormat() const { return stage_.takes_; }
const Format& Context::outputFormat() const { return stage_.gives_; }
uint64_t Context::frame() const {
  const Format& f = stage_.kind_ == Stage::Kind::Source ? stage_.gives_ : stage_.takes_;
  return stage_.kind_ == Stage::Kind::Source ? stage_.bytesOut_ / f.frameBytes() : stage_.framesIn_;
}
std::size_t Context::framesWanted() const { return stage_.wanted_; }

bool Context::typeFits(SampleType t) {
  if (stage_.kind_ != Stage::Kind::Sink && t == stage_.gives_.sample) return true;
  Utils::Log::theLog()->print(Utils::MsgFault, "zkflow", -3, kFile, __LINE__,
                              "%s: no output buffer of that sample type (it writes %s)", name(),
                              stage_.gives_.text().c_str());
  return false;
}

Span<unsigned char> Context::outputBytes(std::size_t bytes) {
  Stage& s = stage_;
  s.sendPending();
  const unsigned fb = s.gives_.frameBytes();
  if (s.kind_ == Stage::Kind::Sink || fb == 0) return {};
  bytes -= bytes % fb;
  if (bytes == 0 || bytes > UINT32_MAX) return {};
  ZtPacket* p = new ZtPacket(static_cast<unsigned int>(bytes));
  if (!p || p->size() != bytes) {
    delete p;
    Utils::Log::theLog()->print(Utils::MsgFault, "zkflow", -3, kFile, __LINE__,
                                "%s: no memory for a buffer of %zu bytes", name(), bytes);
    return {};
  }
  s.pending_ = p;
  s.pendingBytes_ = bytes;
  return {reinterpret_cast<unsigned char*>(p->data()), bytes};
}

void Context::keep(std::size_t samples) { keepBytes(samples * stage_.gives_.sampleBytes()); }

void Context::keepBytes(std::size_t bytes) {
  if (bytes < stage_.pendingBytes_) stage_.pendingBytes_ = bytes - bytes % stage_.gives_.frameBytes();
}

void Context::end() { stage_.ending_ = true; }

void Context::fail(const char* what) {
  Utils::Log::theLog()->print(Utils::MsgFault, "zkflow", -3, kFile, __LINE__, "%s: %s", name(),
                              what ? what : "failed");
  stage_.failed_.store(true, std::memory_order_release);
  end();
}

// -------------------------------------------------------------------- Stage

Stage::Stage(std::string name, Kind kind, Format takes, Format gives)
    : name_(std::move(name)), kind_(kind), takes_(takes), gives_(gives), ctx_(*this) {
  // A source has no real input: the loop offers it a virtual one, whose
  // size says how much the cycle wants.
  virtualInput(kind == Kind::Source);
}

Stage::~Stage() {
  // The graph has ended the loop already; this is for a stage deleted
  // otherwise. A buffer never sent goes with the stage.
  stop();
  delete pending_;
}

void Stage::taskRateInfo(ZtFlowRequestRate& r) {
  const Format& f = kind_ == Kind::Source ? gives_ : takes_;
  granularity(lowBit(f.frameBytes()));
  // 20 ms of data a cycle at first; a producer sleeps once its consumer has
  // a quarter of a second ahead of it.
  r.duration(Utils::Time(0.02));
  r.durationMin(Utils::Time(0.01));
  r.durationMax(Utils::Time(0.25));
  r.dataRate(f.bytesPerSecond());
}

void Stage::taskInit() {
  carry_.assign((kind_ == Kind::Source ? gives_ : takes_).frameBytes(), 0);
  begin(ctx_);
}

void Stage::taskStop() {
  finish(ctx_);
  if (onEnd_) onEnd_(onEndArg_);
}

unsigned int Stage::taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in,
                                   ZtFlowEmitFn emit) {
  emit_ = emit;
  if (kind_ == Kind::Source) {
    const unsigned fb = gives_.frameBytes();
    wanted_ = in[0]->size() >= fb ? in[0]->size() / fb : 1;
    if (!ending_) work(ctx_, {});
    // The virtual input tells the loop how far the source got.
    in[0]->clipSize(static_cast<unsigned int>(sendPending()));
    if (ending_) shutdown(true);
    return 0;
  }
  if (inCount == 0 || !in[0]) return 0;
  const auto* p = static_cast<const ZtFlowDataPacket*>(in[0]);
  // Every content packet on a graph's flows is a data packet of ours; one
  // without stored bytes carries nothing to read.
  if (p->valid() && p->size() != 0) feed(static_cast<const unsigned char*>(p->data()), p->size());
  sendPending();
  return 0;
}

void Stage::feed(const unsigned char* data, std::size_t size) {
  const std::size_t fb = carry_.size();
  if (fb == 0) return;
  if (carryBytes_ != 0) {
    const std::size_t take = size < fb - carryBytes_ ? size : fb - carryBytes_;
    std::memcpy(carry_.data() + carryBytes_, data, take);
    carryBytes_ += take;
    data += take;
    size -= take;
    if (carryBytes_ < fb) return;
    carryBytes_ = 0;
    callWork(carry_.data(), fb);
  }
  const std::size_t whole = size - size % fb;
  if (whole != 0) {
    // A packet's window may start anywhere in its block: samples read in
    // place must be aligned for their type, or they are copied first.
    if (reinterpret_cast<std::uintptr_t>(data) % takes_.sampleBytes() == 0) {
      callWork(data, whole);
    } else {
      scratch_.assign(data, data + whole);
      callWork(scratch_.data(), whole);
    }
  }
  carryBytes_ = size - whole;
  std::memcpy(carry_.data(), data + whole, carryBytes_);
}

void Stage::callWork(const unsigned char* data, std::size_t size) {
  if (!ending_) work(ctx_, {data, size});
  framesIn_ += size / carry_.size();
}

std::size_t Stage::sendPending() {
  ZtPacket* stored = pending_;
  const std::size_t bytes = pendingBytes_;
  pending_ = nullptr;
  pendingBytes_ = 0;
  if (!stored) return 0;
  ZtProtector<ZtPacket> hold(stored);  // the data packet takes its own count
  if (bytes == 0 || outputCount() == 0 || !emit_) return 0;
  auto* p = new ZtFlowDataPacket(hold);
  if (!p) return 0;
  // Times follow the stream position, so that downstream stages can tell
  // when each packet is due.
  const int64_t rate = gives_.bytesPerSecond();
  p->dSize(static_cast<unsigned int>(bytes));
  p->startTime(Utils::Time::fromRaw(static_cast<int64_t>(bytesOut_) * 65536 / rate));
  p->endTime(Utils::Time::fromRaw(static_cast<int64_t>(bytesOut_ + bytes) * 65536 / rate));
  bytesOut_ += bytes;
  emit_(this, 0, p);
  return bytes;
}

}  // namespace zkflow

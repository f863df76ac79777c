// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the fuzz targets.
//
// Each target's logic is one function that takes one input and checks the
// library against a small model of its own, sequence step by sequence step.
// The same function is linked into a libFuzzer binary (fuzz/CMakeLists.txt,
// clang only) and into the ordinary test fuzz_replay_test (any compiler),
// which replays every file of fuzz/corpus/<target>/ and
// fuzz/regressions/<target>/; so an input that once crashed stays checked by
// the plain test run once it is saved as a regression.
//
// A mismatch with the model prints what differed and aborts: libFuzzer then
// saves the input as a crash, and the replay test dies naming the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "zkflow/host/allocator.h"

namespace zkfuzz {

// One function per target: check one input, return 0.
int latencyOne(const uint8_t* data, size_t size);
int messageOne(const uint8_t* data, size_t size);
int flowlistOne(const uint8_t* data, size_t size);
int flowbufferOne(const uint8_t* data, size_t size);
int flowstageOne(const uint8_t* data, size_t size);
int wavOne(const uint8_t* data, size_t size);

// Prints where and what, then aborts.
[[noreturn]] void fail(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Blocks the library's allocator holds: every target checks that a whole
// sequence gives back all it took.
inline int64_t liveBlocks() { return Utils::Allocator::defaultAllocator()->liveBlocks(); }

// Reads the input as a stream of choices. Past its end every read gives 0,
// so any prefix of an input is itself a valid input.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  bool more() const { return p_ < end_; }
  uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
  uint64_t u64() { return static_cast<uint64_t>(u32()) | (static_cast<uint64_t>(u32()) << 32); }
  // A value in 0..n-1 (n > 0).
  unsigned below(unsigned n) { return n <= 256 ? u8() % n : u16() % n; }
  bool flag() { return (u8() & 1) != 0; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace zkfuzz

// Checks a condition of the model; the rest is a printf format and its
// arguments saying what differed.
#define ZKFLOW_FUZZ_CHECK(cond, ...)                                   \
  do {                                                            \
    if (!(cond)) ::zkfuzz::fail(__FILE__, __LINE__, __VA_ARGS__); \
  } while (0)

namespace zkfuzz {

// Runs the steps of F (built from the input; it has `in`, `step` and
// stepOnce()) until the input or maxSteps runs out, then checks that the
// allocator got back every block the run took.
template <class F>
int runSteps(const uint8_t* data, size_t size, int maxSteps) {
  const int64_t liveAtStart = liveBlocks();
  {
    F f(data, size);
    for (f.step = 1; f.in.more() && f.step < maxSteps; ++f.step) f.stepOnce();
  }
  ZKFLOW_FUZZ_CHECK(liveBlocks() == liveAtStart, "%lld blocks leaked", static_cast<long long>(liveBlocks() - liveAtStart));
  return 0;
}

}  // namespace zkfuzz

// The libFuzzer entry point, only in the fuzzing build.
#ifdef ZKFLOW_LIBFUZZER
#define ZKFLOW_FUZZ_ENTRY(fn)                                                       \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {    \
    return ::zkfuzz::fn(data, size);                                           \
  }
#else
#define ZKFLOW_FUZZ_ENTRY(fn)
#endif

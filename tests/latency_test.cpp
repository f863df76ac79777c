// SPDX-License-Identifier: Apache-2.0
// Latency samples on the shared clock. The statistics themselves are checked
// against a 128-bit model by the fuzz replay (fuzz/latency_fuzz.cpp).
#include "zkflow/flow/latency.h"

#include <gtest/gtest.h>

#include "common/testutil.h"
#include "zkflow/host/clock.h"
#include "zkflow/host/time.h"

namespace {

using Utils::Time;

// Stamps come from the clock, a start offset is taken off the duration (and
// may make it negative), and a sample stopped on another thread, handed over
// through a join, never runs backwards.
TEST(LatencySampleTest, StampsOffsetsAndThreads) {
  const Time before = ZtClock::timeNow();
  ZtLatencySample s(17);
  EXPECT_EQ(s.stopTime.raw(), 0);  // not stopped yet: defined, not garbage
  zktest::BoundedThread t([&s] { s.stop(); });
  ASSERT_TRUE(t.join());
  const Time after = ZtClock::timeNow();
  EXPECT_EQ(s.target(), 17u);
  EXPECT_GE(s.startTime, before);
  EXPECT_LE(s.stopTime, after);
  EXPECT_GE(s.duration().raw(), 0);

  const Time offset(1000);
  s.start(3, offset);
  s.stop();
  EXPECT_EQ(s.target(), 3u);
  EXPECT_GE(s.startTime, after);
  EXPECT_GE(s.duration(), -offset);
  EXPECT_LE(s.duration(), (ZtClock::timeNow() - after) - offset);
  ZtLatencyStats st;
  st.addSample(Time::fromRaw(10));
  st.add(s);
  EXPECT_EQ(st.count(), 2u);
  EXPECT_EQ(st.latencyMin(), s.duration());
}

}  // namespace

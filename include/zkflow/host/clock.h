// SPDX-License-Identifier: Apache-2.0
// ZtClock: the one clock that every task of the process shares.
//
// Thread safety: timeNow() may be called from any thread. Readings taken on
// different threads may be subtracted from each other: the clock is monotonic
// (CLOCK_MONOTONIC), never steps back, and does not follow wall-clock changes.
#pragma once

#include "zkflow/host/export.h"
#include "zkflow/host/time.h"

struct ZKFLOW_EXPORT ZtClock {
  // Time since an arbitrary fixed point (the boot of the machine), in
  // 1/65536 s. Truncated, never rounded up.
  static Utils::Time timeNow();
};

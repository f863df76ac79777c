// SPDX-License-Identifier: Apache-2.0
// Fault injection, for testing a pipeline under the failures it must survive:
// memory that runs out, a task or an event that the system refuses to make.
//
// Each call arms a counter that the library's own allocation and creation
// paths consult; a count of 0 turns the fault off again. The faults are
// process-wide and hit whichever thread comes next, so arm them while the
// threads you want to hit are the only ones at work, and turn them off when
// the test ends. Every failure the library meets this way is answered as an
// out-of-memory or refused creation would be in production: with a false or
// null result, a hole in a stream, or a log line; never a crash. See
// docs/bad-input.md for what each operation does.
//
// Thread safety: any thread; the counters are atomic.
#pragma once

#include <cstdint>

#include "zkflow/host/export.h"

namespace zkflow {
namespace testing {

// After `skip` further allocations through the default allocator have
// succeeded, the next `n` fail (the library's operator new yields null).
ZKFLOW_EXPORT void failAllocations(uint64_t skip, uint64_t n);
// The next `n` task creations (ZIF_CreateTask, ZIF_CreateTaskCoop) fail.
ZKFLOW_EXPORT void failTaskCreations(unsigned int n);
// The next `n` ZIF_CreateEventCoop calls fail.
ZKFLOW_EXPORT void failEventCreations(unsigned int n);

}  // namespace testing
}  // namespace zkflow

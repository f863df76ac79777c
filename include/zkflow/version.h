// SPDX-License-Identifier: Apache-2.0
// The version of ZKflow these headers belong to, and the version of the
// library a program runs with.
//
// A program compiled against one version and run with another finds out by
// comparing the two:
//
//   if (zkflow::versionNumber() != ZKFLOW_VERSION_NUMBER) { ... }
//
// Before 1.0 every minor release may change the binary interface, so the
// shared library's soname carries major.minor (libzkflow.so.0.2): a program
// built against 0.2 never loads 0.3 by accident.
#pragma once

#include "zkflow/host/export.h"

#define ZKFLOW_VERSION_MAJOR 0
#define ZKFLOW_VERSION_MINOR 2
#define ZKFLOW_VERSION_PATCH 0
#define ZKFLOW_VERSION "0.2.0"
// major * 10000 + minor * 100 + patch
#define ZKFLOW_VERSION_NUMBER \
  (ZKFLOW_VERSION_MAJOR * 10000 + ZKFLOW_VERSION_MINOR * 100 + ZKFLOW_VERSION_PATCH)

namespace zkflow {

// The library's own version, as ZKFLOW_VERSION was when it was built.
// Any thread; the string is static.
ZKFLOW_EXPORT const char* version();
// The same as a number, as ZKFLOW_VERSION_NUMBER.
ZKFLOW_EXPORT int versionNumber();

}  // namespace zkflow

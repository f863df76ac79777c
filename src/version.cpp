// SPDX-License-Identifier: Apache-2.0
#include "zkflow/version.h"

const char* zkflow::version() { return ZKFLOW_VERSION; }
int zkflow::versionNumber() { return ZKFLOW_VERSION_NUMBER; }

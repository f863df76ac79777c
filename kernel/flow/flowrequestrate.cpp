// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/flowrequestrate.h"

void ZtFlowRequestRate::init() {
  duration_ = Utils::Time();
  rate_ = Utils::Time();
  durationMin_ = Utils::Time();
  durationMax_ = Utils::Time();
  dataRate_ = 0;
}

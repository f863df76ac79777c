// SPDX-License-Identifier: Apache-2.0
// ZKflow: the umbrella header. Brings in every public header of the library
// and of its host layer.
#pragma once

#include "zkflow/version.h"

#include "zkflow/host/allocator.h"
#include "zkflow/host/clock.h"
#include "zkflow/host/dlist.h"
#include "zkflow/host/export.h"
#include "zkflow/host/lock.h"
#include "zkflow/host/log.h"
#include "zkflow/host/pointer.h"
#include "zkflow/host/store.h"
#include "zkflow/host/string.h"
#include "zkflow/host/time.h"
#include "zkflow/host/executor.h"
#include "zkflow/host/simtime.h"
#include "zkflow/host/zsys.h"

#include "zkflow/flow/packet.h"
#include "zkflow/flow/flowpacket.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowrequestrate.h"
#include "zkflow/flow/flowbuffer.h"
#include "zkflow/flow/latency.h"
#include "zkflow/flow/message.h"
#include "zkflow/flow/flowtask.h"
#include "zkflow/flow/flowfork.h"
#include "zkflow/flow/queuetask.h"

#include "zkflow/graphdot.h"
#include "zkflow/metrics.h"
#include "zkflow/trace.h"

#include "zkflow/testing.h"

// The layer above the kernel: graphs of stages, built-in elements, mailboxes
// and worker pools.
#include "zkflow/span.h"
#include "zkflow/format.h"
#include "zkflow/stage.h"
#include "zkflow/graph.h"
#include "zkflow/elements.h"
#include "zkflow/mailbox.h"
#include "zkflow/workerpool.h"

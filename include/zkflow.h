// ZKflow: the umbrella header. Brings in every public header of the library
// and of its host layer.
#pragma once

#include "host/allocator.h"
#include "host/clock.h"
#include "host/dlist.h"
#include "host/export.h"
#include "host/lock.h"
#include "host/log.h"
#include "host/pointer.h"
#include "host/store.h"
#include "host/string.h"
#include "host/time.h"
#include "host/zsys.h"

#include "kernel/flow/packet.h"
#include "kernel/flow/flowpacket.h"
#include "kernel/flow/flow.h"
#include "kernel/flow/flowrequestrate.h"
#include "kernel/flow/flowbuffer.h"
#include "kernel/flow/latency.h"
#include "kernel/flow/message.h"
#include "kernel/flow/flowtask.h"
#include "kernel/flow/flowfork.h"
#include "kernel/flow/queuetask.h"
#include "kernel/flow/flowgraph.h"

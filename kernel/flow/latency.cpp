#include "kernel/flow/latency.h"

#include "kernel/flow/queuetask.h"

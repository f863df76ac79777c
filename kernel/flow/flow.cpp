#include "kernel/flow/flow.h"

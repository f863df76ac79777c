#include "kernel/flow/flowtask.h"

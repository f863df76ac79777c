#include "kernel/flow/flowfork.h"

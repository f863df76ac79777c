#include "kernel/flow/flowrequestrate.h"

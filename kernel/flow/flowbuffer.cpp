#include "kernel/flow/flowbuffer.h"

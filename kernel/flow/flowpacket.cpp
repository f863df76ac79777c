#include "kernel/flow/flowpacket.h"

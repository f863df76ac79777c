#include "kernel/flow/packet.h"

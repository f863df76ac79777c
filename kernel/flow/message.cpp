#include "kernel/flow/message.h"

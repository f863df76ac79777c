#include "host/zsys.h"

// Moved to vell/platform/byte_order.h; kept until its last user includes the new name.
#pragma once

#include "vell/platform/byte_order.h"

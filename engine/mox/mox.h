// The engine's sources name the tape service's C interface by this path;
// the interface itself is include/mox.h, the only engine header the
// program's targets see.
#pragma once

#include <mox.h>

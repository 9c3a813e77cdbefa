// Compile-only: the seam's header needs nothing included before it.
#include "platform/platform.h"

#include "core/distance/distance.h"

// Implementation pending.

#include "core/index/brute_force/brute_force_index.h"

// Implementation pending.

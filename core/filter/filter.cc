#include "core/filter/filter.h"

// Implementation pending.

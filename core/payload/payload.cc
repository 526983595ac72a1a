#include "core/payload/payload.h"

// Implementation pending.

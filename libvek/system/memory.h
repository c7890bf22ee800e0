// What the library asks of the system for memory: transparent huge pages for large pixel blocks
// (Linux), and at unload the runtime's own memory back (Windows). Shared with the plug-in's
// platform layer, which needs the same.
#pragma once

#include "support/huge_pages.h"
#include "support/runtime_memory.h"

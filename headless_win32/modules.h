// Loaded modules of headless_win32 (shared between its files only).
#pragma once

#include <vector>

#include "headless_win32/internal.h"

namespace headless_detail {
// The resources of a module handle, or null for a handle that is not a loaded module.
const std::vector<Resource>* module_resources(HMODULE module);
}  // namespace headless_detail

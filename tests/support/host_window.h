// A window to stand for the host's main window in tests.
#pragma once

#include <windows.h>

namespace test_support {
// A window that lives for the whole test program (hidden on Windows).
HWND host_window();
}  // namespace test_support

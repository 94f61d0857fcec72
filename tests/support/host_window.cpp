// The host's stand-in window.
#include "tests/support/host_window.h"

namespace test_support {

HWND host_window() {
  static HWND window = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                       nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  return window;
}

}  // namespace test_support

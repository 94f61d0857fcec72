// The host's stand-in window.
#include "tests/support/host_window.h"

#include <cstdint>

namespace test_support {

HWND host_window() {
#ifdef _WIN32
  static HWND window = CreateWindowA("STATIC", "host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                     nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
#else
  // Until headless_win32 has windows, owners are only recorded: any distinct value will do.
  static HWND window = reinterpret_cast<HWND>(uintptr_t{0x4242});
#endif
  return window;
}

}  // namespace test_support

// The two preview windows: their classes and their window procedures.
#include "module/host/host.h"
#include "module/ui/ui.h"

ATOM register_view_class(bool small) {
  WNDCLASSA window_class{};
  window_class.style = CS_VREDRAW | CS_HREDRAW;
  window_class.lpfnWndProc = small ? small_procedure : big_procedure;
  window_class.hInstance = module_state.module_instance;
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(intptr_t{COLOR_WINDOW + 1});
  window_class.lpszClassName = small ? "small_view" : "big_view";
  return RegisterClassA(&window_class);
}

LRESULT CALLBACK big_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcA(window, message, wparam, lparam);
}

LRESULT CALLBACK small_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcA(window, message, wparam, lparam);
}

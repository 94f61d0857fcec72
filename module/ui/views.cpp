// The two preview windows' procedures. Until the dialog opens them they behave as plain
// windows.
#include "module/ui/ui.h"

LRESULT CALLBACK big_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcA(window, message, wparam, lparam);
}

LRESULT CALLBACK small_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcA(window, message, wparam, lparam);
}

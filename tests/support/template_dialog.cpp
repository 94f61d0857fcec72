// Running test code inside the module's dialog template.
#include "tests/support/template_dialog.h"

#include "module/module_state.h"
#include "module/ui/ui.h"
#include "tests/support/host_window.h"

namespace test_support {
namespace {

std::function<void(HWND)> dialog_body;
std::function<INT_PTR(HWND, WPARAM)> dialog_commands;

INT_PTR CALLBACK test_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_COMMAND && dialog_commands) return dialog_commands(dialog, wparam);
  if (message != WM_INITDIALOG) return FALSE;
  module_state.dialog.dialog_window = dialog;
  dialog_body(dialog);
  EndDialog(dialog, 1);
  return TRUE;
}

}  // namespace

void unregister_view_classes() {
  UnregisterClassA("big_view", module_state.host.module_instance);
  UnregisterClassA("small_view", module_state.host.module_instance);
}

INT_PTR run_in_dialog(std::function<void(HWND)> body,
                      std::function<INT_PTR(HWND, WPARAM)> commands) {
  if (module_state.host.module_instance == nullptr)
    module_state.host.module_instance = GetModuleHandleA(nullptr);
  unregister_view_classes();
  if (register_view_class(false) == 0 || register_view_class(true) == 0) return -1;
  dialog_body = std::move(body);
  dialog_commands = std::move(commands);
  INT_PTR result = DialogBoxParamA(module_state.host.module_instance, "FILTERDLG", host_window(),
                                   test_dialog, 0);
  dialog_commands = nullptr;
  return result;
}

}  // namespace test_support

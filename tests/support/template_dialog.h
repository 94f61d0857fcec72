// The module's dialog template opened for a test with the preview classes registered: the
// test's code runs inside WM_INITDIALOG, so the dialog never shows.
#pragma once

#include <windows.h>

#include <functional>
#include "module/module_state.h"

namespace test_support {

// Registers the two preview classes afresh, opens FILTERDLG owned by the host window and runs
// `body` with the dialog (module_state.dialog.dialog_window set) inside WM_INITDIALOG, then ends
// it; `commands`, when given, answers WM_COMMAND meanwhile. Returns DialogBoxParamA's result (1).
INT_PTR run_in_dialog(std::function<void(HWND)> body,
                      std::function<INT_PTR(HWND, WPARAM)> commands = nullptr);

// Unregisters the two preview classes.
void unregister_view_classes();

}  // namespace test_support

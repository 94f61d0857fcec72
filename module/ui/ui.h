// The dialog and its two preview windows: the procedures Windows calls, exported by name.
#pragma once

#include <windows.h>

extern "C" INT_PTR CALLBACK FilterDlg(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
extern "C" LRESULT CALLBACK big_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
extern "C" LRESULT CALLBACK small_procedure(HWND window, UINT message, WPARAM wparam,
                                            LPARAM lparam);

// Registers the big (small = false) or small preview window class; returns the class atom,
// 0 on failure.
ATOM register_view_class(bool small);

// Runs the parameter dialog when the stored record asks for it, and stores the settings and
// the centre when the user confirms; result_code 1 when the user cancels.
void run_dialog();

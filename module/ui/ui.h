// The dialog and its two preview windows: the procedures Windows calls, exported by name.
#pragma once

#include <windows.h>

extern "C" INT_PTR CALLBACK FilterDlg(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
extern "C" LRESULT CALLBACK big_procedure(HWND window, UINT message, WPARAM wparam,
                                          LPARAM lparam);
extern "C" LRESULT CALLBACK small_procedure(HWND window, UINT message, WPARAM wparam,
                                            LPARAM lparam);

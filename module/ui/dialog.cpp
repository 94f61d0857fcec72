// The parameter dialog's procedure. It handles no message yet: the dialog is not opened.
#include "module/ui/ui.h"

INT_PTR CALLBACK FilterDlg(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

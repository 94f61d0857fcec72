// The standard controls (controls.cpp): buttons, edits, statics and scroll bars, with their
// notifications sent synchronously to the parent. Owns each window's ControlState.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "headless_win32/window_classes.h"

namespace headless_detail {

// What the built-in controls keep beside their text; each kind uses its own part.
struct ControlState {
  std::size_t text_limit = 32767;  // edit: the most characters typing may give
  DWORD selection_start = 0;       // edit: the selection, start <= end <= length
  DWORD selection_end = 0;
  UINT check = 0;      // check boxes and radio buttons: BST_UNCHECKED, BST_CHECKED, ...
  int scroll_min = 0;  // scroll bar (SB_CTL): an empty range until set
  int scroll_max = 0;
  int scroll_pos = 0;
};

// The procedures of the built-in control classes.
LRESULT CALLBACK button_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK edit_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK static_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK scroll_bar_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The kind of a live window, or kCustom for an unknown handle.
WindowKind kind_of(HWND window);
// A button's type (BS_PUSHBUTTON, BS_CHECKBOX, ...), or -1 when the window is no button.
int button_type(HWND window);

// A click on a button: the button takes the focus, an automatic one changes its check, then
// the parent gets BN_CLICKED.
void click_button(HWND button);
// Typing over an edit control's selection, as keystrokes would: the text limit holds
// (EN_MAXTEXT when it cuts the text), EN_UPDATE and EN_CHANGE follow a change.
void edit_replace_selection(HWND edit, const std::string& text);

}  // namespace headless_detail

// Shared between windows.cpp, controls.cpp and script.cpp only: sending messages, the
// procedures of the built-in controls, focus as the dialog manager gives it, painting what
// is invalid, timers on the virtual clock and the modal loop with its scripted user.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "headless_win32/window_tree.h"

namespace headless_detail {

// Calls the window's procedure without holding the lock (a dialog's own procedure first).
LRESULT send_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

LRESULT CALLBACK button_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK edit_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK static_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK scroll_bar_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The kind of a live window, or kCustom for an unknown handle.
WindowKind kind_of(HWND window);
// A button's type (BS_PUSHBUTTON, BS_CHECKBOX, ...), or -1 when the window is no button.
int button_type(HWND window);

// Focus as the dialog manager gives it: an edit control gets its whole text selected first.
void dialog_set_focus(HWND control);
// WM_NEXTDLGCTL: the next (or previous) WS_TABSTOP control of the dialog after the focus.
HWND next_tab_stop(HWND dialog, bool previous);
// A click on a button: the button takes the focus, an automatic one changes its check, then
// the parent gets BN_CLICKED.
void click_button(HWND button);
// Typing over an edit control's selection, as keystrokes would: the text limit holds
// (EN_MAXTEXT when it cuts the text), EN_UPDATE and EN_CHANGE follow a change.
void edit_replace_selection(HWND edit, const std::string& text);

// Marks a window and everything below it as wholly invalid (the caller holds the lock).
void invalidate_tree(Display& d, HWND window);
// Sends WM_PAINT to every window with an update region, parents before children.
void paint_invalid_windows();

// Moves the virtual clock on; timers that come due get their WM_TIMER pending.
void advance_clock(unsigned long long ms);
// The shortest period of the live timers, 0 when there are none.
UINT shortest_timer_period();
// Delivers the oldest pending WM_TIMER; false when none is pending.
bool deliver_pending_timer();

// Runs a modal dialog until it ends: paints what is invalid, delivers pending timers and plays
// the scripted user's steps; with no step left it cancels the dialog (script.cpp).
void run_modal_loop(HWND dialog, const std::shared_ptr<DialogState>& state);

}  // namespace headless_detail

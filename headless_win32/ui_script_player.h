// The player of the scripted user (ui_script_player.cpp): the modal loop of dialogs, which
// plays the steps ui_script_parser.h reads. Owns the steps left, their errors and failures,
// the observer, the picture writer and Display::last_dialog_ran_out_of_script.
#pragma once

#include <windows.h>

#include <memory>

#include "headless_win32/dialog_manager.h"

namespace headless_detail {

// Runs a modal dialog until it ends: paints what is invalid, delivers pending timers and plays
// the scripted user's steps; with no step left it cancels the dialog.
void run_modal_loop(HWND dialog, const std::shared_ptr<DialogState>& state);

}  // namespace headless_detail

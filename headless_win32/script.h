// The modal loop of dialogs and the scripted user it plays (script.cpp). Owns the steps left,
// their errors and failures, the observer and the picture writer.
#pragma once

#include <windows.h>

#include <memory>

#include "headless_win32/dialog_manager.h"

namespace headless_detail {

// Runs a modal dialog until it ends: paints what is invalid, delivers pending timers and plays
// the scripted user's steps; with no step left it cancels the dialog.
void run_modal_loop(HWND dialog, const std::shared_ptr<DialogState>& state);

}  // namespace headless_detail

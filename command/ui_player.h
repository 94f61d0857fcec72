// The scripted user of `zorbel --dialog --ui-script FILE`: plays the steps of a ui script
// against the parameter dialog of the next run. Without a screen (headless_win32) the modal
// loop plays them; on Windows a thread of its own plays them against the real dialog with
// SendMessage. Snapshots are written as PNG files through image_io.
#pragma once

#include <string>
#include <vector>

namespace ui_player {

struct Report {
  std::vector<std::string> failures;  // "line N: ..." for steps that went wrong
  bool ran_out = false;  // the steps ran out with the dialog still open, which cancelled it
};

// Starts playing `script` (text that ui_script::parse accepts without errors) for the dialog
// the next run opens; the calling thread is the one that will run the dialog.
void start(const std::string& script);

// After the run: stops the player and tells what happened.
Report finish();

}  // namespace ui_player

// The parser of the scripted user's line format (ui_script_parser.cpp), into steps. Plain C++
// without Win32, so that both players read it the same way: headless_win32's modal loop
// (ui_script_player.cpp) and zorbel.exe's player thread on Windows.
#pragma once

#include <string>
#include <vector>

namespace ui_script {

enum class Verb {
  kWaitReady,
  kType,
  kFocus,
  kClick,
  kKey,
  kScroll,
  kPress,
  kMove,
  kRelease,
  kTick,
  kExpectBeeps,
  kExpectText,
  kSnapshot
};
enum class Key { kEnter, kEsc, kTab };

// The control id a snapshot of the whole dialog names.
constexpr int kWholeDialog = -1;

struct Step {
  int line = 0;  // 1-based line number in the script
  Verb verb = Verb::kWaitReady;
  int id = 0;        // the control (type, focus, click, scroll, press, move, release, snapshot)
  std::string text;  // type, expect-text: the text; snapshot: the file
  Key key = Key::kEnter;
  int code = 0;      // scroll
  int position = 0;  // scroll
  int x = 0, y = 0;  // press, move, release
  long count = 0;    // tick, expect-beeps
};

struct Parsed {
  std::vector<Step> steps;
  std::vector<std::string> errors;  // "line N: ..." for each line left out
};

// One step a line; blank lines and lines whose first non-blank character is '#' are
// skipped, and a carriage return before the line end is ignored.
Parsed parse(const std::string& text);

}  // namespace ui_script

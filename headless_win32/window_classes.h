// Window classes (window_classes.cpp): the built-in ones every module sees, those a module
// registers, and CreateWindowExA, which makes a window of a class found by name or atom.
// Owns Display::classes (the built-in classes go in on first use), Display::atoms and
// Display::next_atom. The built-in class table is the one place that names the procedures
// of the built-in classes, so this room sits above the controls and the dialog manager.
#pragma once

#include <windows.h>

#include <string>

namespace headless_detail {

struct Display;

// What a window does beyond its class's procedure: the built-in control kinds and dialogs
// get their behaviour here; kCustom windows are whatever their procedure makes them.
enum class WindowKind { kCustom, kButton, kEdit, kStatic, kScrollBar, kDialog };

struct WindowClass {
  std::string name;              // as registered; compared without regard to case
  ATOM atom = 0;                 // equal for equal names
  HINSTANCE instance = nullptr;  // null for the built-in classes, which every module sees
  WNDPROC procedure = nullptr;   // what send_message calls for the windows of the class
  WindowKind kind = WindowKind::kCustom;
  UINT style = 0;
  HCURSOR cursor = nullptr;
  HBRUSH background = nullptr;
};

// Both want the display's mutex held by the caller.
// A class argument (an atom or a name): the module's own class first, then a built-in one
// of that name; null when there is none.
const WindowClass* find_class(Display& d, LPCSTR name_or_atom, HINSTANCE instance);
// The built-in class of a kind.
const WindowClass* builtin_class(Display& d, WindowKind kind);

}  // namespace headless_detail

// Window classes: the built-in ones (button, edit, static, scrollbar and the dialog class)
// that every module sees, those a module registers (RegisterClassA, UnregisterClassA, failing
// on a duplicate as Windows does), LoadCursorA's system cursors, and CreateWindowExA, which
// makes a window of a class found by name or atom.
#include "headless_win32/window_classes.h"

#include <algorithm>
#include <cctype>
#include <list>

#include "headless_win32/controls.h"
#include "headless_win32/dialog_manager.h"
#include "headless_win32/display.h"
#include "headless_win32/internal.h"
#include "headless_win32/window_tree.h"

namespace headless_detail {
namespace {

constexpr DWORD kInvalidWindowHandle = 1400;   // ERROR_INVALID_WINDOW_HANDLE
constexpr DWORD kInvalidParameter = 87;        // ERROR_INVALID_PARAMETER
constexpr DWORD kClassAlreadyExists = 1410;    // ERROR_CLASS_ALREADY_EXISTS
constexpr DWORD kClassDoesNotExist = 1411;     // ERROR_CLASS_DOES_NOT_EXIST
constexpr DWORD kClassHasWindows = 1412;       // ERROR_CLASS_HAS_WINDOWS
constexpr DWORD kCannotFindClass = 1407;       // ERROR_CANNOT_FIND_WND_CLASS
constexpr DWORD kChildWithoutParent = 1406;    // ERROR_TLW_WITH_WSCHILD
constexpr DWORD kResourceTypeNotFound = 1813;  // ERROR_RESOURCE_TYPE_NOT_FOUND

std::string upper(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = char(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool same_name(const std::string& a, const std::string& b) { return upper(a) == upper(b); }

// A class argument: an atom (MAKEINTATOM) or a name.
bool class_matches(const WindowClass& c, LPCSTR name_or_atom) {
  if (IS_INTRESOURCE(name_or_atom)) return c.atom == LOWORD(name_or_atom);
  return same_name(c.name, name_or_atom);
}

// A null instance stands for the main program, as on Windows.
HINSTANCE effective_instance(HINSTANCE instance) {
  return instance != nullptr ? instance : GetModuleHandleA(nullptr);
}

// The built-in classes, the one place that names their procedures (see messages.h).
void add_builtin_classes(Display& d) {
  struct BuiltIn {
    const char* name;
    WindowKind kind;
    WNDPROC procedure;
  };
  static const BuiltIn kBuiltIn[] = {{"button", WindowKind::kButton, button_procedure},
                                     {"edit", WindowKind::kEdit, edit_procedure},
                                     {"static", WindowKind::kStatic, static_procedure},
                                     {"scrollbar", WindowKind::kScrollBar, scroll_bar_procedure},
                                     {"#32770", WindowKind::kDialog, dialog_window_procedure}};
  for (const BuiltIn& b : kBuiltIn) {
    WindowClass c;
    c.name = b.name;
    c.atom = d.next_atom++;
    d.atoms[upper(b.name)] = c.atom;
    c.kind = b.kind;
    c.procedure = b.procedure;
    d.classes.push_back(c);
  }
}

// The class list, the built-in classes first: they go in on first use, before any module can
// register a class, so they take the first atoms (the caller holds the mutex).
std::list<WindowClass>& classes(Display& d) {
  if (d.classes.empty()) add_builtin_classes(d);
  return d.classes;
}

WindowClass* registered_class(Display& d, LPCSTR name_or_atom, HINSTANCE instance) {
  for (WindowClass& c : classes(d))
    if (c.instance != nullptr && c.instance == instance && class_matches(c, name_or_atom))
      return &c;
  return nullptr;
}

}  // namespace

// A module's own class first, then a built-in one of that name.
const WindowClass* find_class(Display& d, LPCSTR name_or_atom, HINSTANCE instance) {
  if (name_or_atom == nullptr) return nullptr;
  if (WindowClass* own = registered_class(d, name_or_atom, instance)) return own;
  for (const WindowClass& c : classes(d))
    if (c.instance == nullptr && class_matches(c, name_or_atom)) return &c;
  return nullptr;
}

const WindowClass* builtin_class(Display& d, WindowKind kind) {
  for (const WindowClass& c : classes(d))
    if (c.instance == nullptr && c.kind == kind) return &c;
  return nullptr;
}

}  // namespace headless_detail

using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using headless_detail::WindowClass;
using Lock = std::lock_guard<std::recursive_mutex>;

ATOM RegisterClassA(const WNDCLASSA* window_class) {
  if (window_class == nullptr || window_class->lpszClassName == nullptr ||
      IS_INTRESOURCE(window_class->lpszClassName) || window_class->lpfnWndProc == nullptr) {
    set_last_error(headless_detail::kInvalidParameter);
    return 0;
  }
  HINSTANCE instance = headless_detail::effective_instance(window_class->hInstance);
  Display& d = display();
  Lock lock(d.mutex);
  if (headless_detail::registered_class(d, window_class->lpszClassName, instance) != nullptr) {
    set_last_error(headless_detail::kClassAlreadyExists);
    return 0;
  }
  WindowClass c;
  c.name = window_class->lpszClassName;
  auto [atom, fresh] = d.atoms.emplace(headless_detail::upper(c.name), d.next_atom);
  if (fresh) ++d.next_atom;
  c.atom = atom->second;
  c.instance = instance;
  c.procedure = window_class->lpfnWndProc;
  c.style = window_class->style;
  c.cursor = window_class->hCursor;
  c.background = window_class->hbrBackground;
  d.classes.push_back(c);
  return c.atom;
}

BOOL UnregisterClassA(LPCSTR class_name, HINSTANCE instance) {
  if (class_name == nullptr) {
    set_last_error(headless_detail::kClassDoesNotExist);
    return FALSE;
  }
  instance = headless_detail::effective_instance(instance);
  Display& d = display();
  Lock lock(d.mutex);
  WindowClass* c = headless_detail::registered_class(d, class_name, instance);
  if (c == nullptr) {
    set_last_error(headless_detail::kClassDoesNotExist);
    return FALSE;
  }
  for (const auto& entry : d.windows) {
    if (entry.second->window_class == c) {
      set_last_error(headless_detail::kClassHasWindows);
      return FALSE;
    }
  }
  d.classes.remove_if([c](const WindowClass& other) { return &other == c; });
  return TRUE;
}

HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) {
  // The system cursors (IDC_ARROW and the other ordinals 32512 to 32651); modules carry none.
  static char system_cursors[32651 - 32512 + 1];
  if (instance == nullptr && IS_INTRESOURCE(name) && LOWORD(name) >= 32512 && LOWORD(name) <= 32651)
    return reinterpret_cast<HCURSOR>(&system_cursors[LOWORD(name) - 32512]);
  set_last_error(headless_detail::kResourceTypeNotFound);
  return nullptr;
}

HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR window_name, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
  HINSTANCE lookup_instance = headless_detail::effective_instance(instance);
  headless_detail::NewWindow n;
  {
    Display& d = display();
    Lock lock(d.mutex);
    n.window_class = headless_detail::find_class(d, class_name, lookup_instance);
    if (n.window_class == nullptr) {
      set_last_error(headless_detail::kCannotFindClass);
      return nullptr;
    }
    if ((style & WS_CHILD) && parent == nullptr) {
      set_last_error(headless_detail::kChildWithoutParent);
      return nullptr;
    }
    if (parent != nullptr && d.window(parent) == nullptr) {
      set_last_error(headless_detail::kInvalidWindowHandle);
      return nullptr;
    }
    if (style & WS_CHILD) {
      n.parent = parent;
      n.id = int(reinterpret_cast<intptr_t>(menu));
    } else {
      n.owner = headless_detail::top_level_of(d, parent);  // owners are top-level windows
    }
    // CW_USEDEFAULT: an overlapped window goes to the screen's top-left corner, three
    // quarters of the screen in size; other windows get 0.
    bool overlapped = !(style & (WS_CHILD | WS_POPUP));
    if (x == CW_USEDEFAULT) x = y = 0;
    if (width == CW_USEDEFAULT) {
      width = overlapped ? d.screen_width * 3 / 4 : 0;
      height = overlapped ? d.screen_height * 3 / 4 : 0;
    }
    n.rect = {x, y, x + std::max(0, width), y + std::max(0, height)};
  }
  n.ex_style = ex_style;
  n.style = style;
  n.text = window_name != nullptr ? window_name : "";
  n.menu = menu;
  n.instance = instance;
  n.create_params = param;
  return headless_detail::create_window(n);
}

// USER32 windows: classes (the four built-in control classes and registered ones), the window
// tree with its geometry and per-window framebuffers, messages sent to window and dialog
// procedures, window text, and modal dialogs built from template resources.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "headless_win32/controls.h"
#include "headless_win32/dialog_template.h"
#include "headless_win32/headless.h"
#include "headless_win32/internal.h"
#include "headless_win32/utf16.h"
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
constexpr DWORD kControlIdNotFound = 1421;     // ERROR_CONTROL_ID_NOT_FOUND
constexpr DWORD kWindowNotDialog = 1420;       // ERROR_WINDOW_NOT_DIALOG
constexpr DWORD kInvalidData = 13;             // ERROR_INVALID_DATA
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

WindowClass* registered_class(Display& d, LPCSTR name_or_atom, HINSTANCE instance) {
  for (WindowClass& c : d.classes)
    if (c.instance != nullptr && c.instance == instance && class_matches(c, name_or_atom))
      return &c;
  return nullptr;
}

// A module's own class first, then a built-in one of that name.
const WindowClass* find_class(Display& d, LPCSTR name_or_atom, HINSTANCE instance) {
  if (name_or_atom == nullptr) return nullptr;
  if (WindowClass* own = registered_class(d, name_or_atom, instance)) return own;
  for (const WindowClass& c : d.classes)
    if (c.instance == nullptr && class_matches(c, name_or_atom)) return &c;
  return nullptr;
}

const WindowClass* builtin_class(Display& d, WindowKind kind) {
  for (const WindowClass& c : d.classes)
    if (c.instance == nullptr && c.kind == kind) return &c;
  return nullptr;
}

// Dialog units to pixels, rounded to nearest with halves away from zero (MulDiv).
int scale(int value, int numerator, int denominator) {
  long long product = 2LL * value * numerator;
  long long twice = product >= 0 ? product + denominator : product - denominator;
  return int(twice / (2LL * denominator));
}

int width_of(const RECT& r) { return r.right - r.left; }
int height_of(const RECT& r) { return r.bottom - r.top; }

void size_framebuffer(Window& w) {
  RECT client = client_rect(w.style, w.ex_style, w.rect);
  w.framebuffer.resize(std::min(client.right, kLargestFramebuffer),
                       std::min(client.bottom, kLargestFramebuffer));
}

HWND top_level_of(Display& d, HWND handle) {
  Window* w = d.window(handle);
  while (w != nullptr && w->parent != nullptr) w = d.window(w->parent);
  return w != nullptr ? w->handle : nullptr;
}

struct NewWindow {
  const WindowClass* window_class = nullptr;
  DWORD ex_style = 0;
  DWORD style = 0;
  std::string text;
  RECT rect{};
  HWND parent = nullptr;
  HWND owner = nullptr;
  int id = 0;
  HMENU menu = nullptr;
  HINSTANCE instance = nullptr;
  LPVOID create_params = nullptr;
};

// Makes the window, links it into the tree and sends WM_CREATE; a procedure that answers
// WM_CREATE with -1 makes the creation fail and the window go again.
HWND create_window(const NewWindow& n) {
  Display& d = display();
  HWND handle;
  {
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    if (n.parent != nullptr && d.window(n.parent) == nullptr) {
      set_last_error(kInvalidWindowHandle);  // gone while its earlier children were made
      return nullptr;
    }
    auto w = std::make_unique<Window>();
    handle = reinterpret_cast<HWND>(d.new_handle());
    w->handle = handle;
    w->window_class = n.window_class;
    w->procedure = n.window_class->procedure;
    w->style = n.style;
    w->ex_style = n.ex_style;
    w->id = n.id;
    w->parent = n.parent;
    w->owner = n.owner;
    w->text = n.text;
    w->rect = n.rect;
    if (n.window_class->kind == WindowKind::kDialog) w->dialog = std::make_shared<DialogState>();
    size_framebuffer(*w);
    if (n.parent != nullptr) d.window(n.parent)->children.push_back(handle);
    d.windows.emplace(handle, std::move(w));
  }
  CREATESTRUCTA create{};
  create.lpCreateParams = n.create_params;
  create.hInstance = n.instance;
  create.hMenu = n.menu;
  create.hwndParent = n.parent != nullptr ? n.parent : n.owner;
  create.x = n.rect.left;
  create.y = n.rect.top;
  create.cx = width_of(n.rect);
  create.cy = height_of(n.rect);
  create.style = LONG(n.style);
  create.lpszName = n.text.c_str();
  create.lpszClass = n.window_class->name.c_str();
  create.dwExStyle = n.ex_style;
  if (send_message(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    DestroyWindow(handle);
    return nullptr;
  }
  return IsWindow(handle) ? handle : nullptr;
}

// The default dialog procedure: WM_CLOSE asks the dialog procedure for Cancel, as pressing
// Esc would; WM_NEXTDLGCTL moves the focus (lParam TRUE: to the control in wParam; else to
// the next tab stop, or the previous one when wParam is non-zero); everything else goes to
// the default window procedure.
LRESULT default_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NEXTDLGCTL) {
    HWND target =
        LOWORD(lparam) != 0 ? reinterpret_cast<HWND>(wparam) : next_tab_stop(dialog, wparam != 0);
    if (target != nullptr) dialog_set_focus(target);
    return 0;
  }
  if (message == WM_CLOSE) {
    HWND cancel = nullptr;
    {
      Display& d = display();
      std::lock_guard<std::recursive_mutex> lock(d.mutex);
      if (Window* w = d.window(dialog)) {
        for (HWND child : w->children)
          if (d.window(child)->id == IDCANCEL) cancel = child;
      }
    }
    send_message(dialog, WM_COMMAND, IDCANCEL, reinterpret_cast<LPARAM>(cancel));  // BN_CLICKED
    return 0;
  }
  return DefWindowProcA(dialog, message, wparam, lparam);
}

}  // namespace

// Calls the window's procedure without holding the lock. A dialog's own procedure comes
// first; when it answers 0 (not handled) the default dialog procedure runs.
LRESULT send_message(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
  WNDPROC procedure = nullptr;
  DLGPROC dialog_procedure = nullptr;
  bool dialog = false;
  {
    Display& d = display();
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    Window* w = d.window(handle);
    if (w == nullptr) {
      set_last_error(kInvalidWindowHandle);
      return 0;
    }
    procedure = w->procedure;
    dialog = w->dialog != nullptr;
    if (dialog) dialog_procedure = w->dialog->procedure;
  }
  if (!dialog) return procedure(handle, message, wparam, lparam);
  if (dialog_procedure != nullptr) {
    INT_PTR handled = dialog_procedure(handle, message, wparam, lparam);
    if (handled != 0) return handled;
  }
  return default_dialog_procedure(handle, message, wparam, lparam);
}

namespace {

// WM_DESTROY to a window and then to each of its children, every parent before its
// children, as Windows sends it: while a window handles it, its children still exist.
void send_destroy(HWND handle) {
  send_message(handle, WM_DESTROY, 0, 0);
  std::vector<HWND> children;
  {
    Display& d = display();
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    Window* w = d.window(handle);
    if (w == nullptr) return;
    for (HWND child : w->children) {
      Window* c = d.window(child);
      if (c != nullptr && !c->destroying) {
        c->destroying = true;
        children.push_back(child);
      }
    }
  }
  for (HWND child : children) send_destroy(child);
}

// Frees a window and everything below it, children first, with its focus, capture and
// timers (the caller holds the lock).
void free_subtree(Display& d, HWND handle) {
  Window* w = d.window(handle);
  if (w == nullptr) return;
  std::vector<HWND> children = w->children;
  for (HWND child : children) free_subtree(d, child);
  if (d.focus == handle) d.focus = nullptr;
  if (d.capture == handle) d.capture = nullptr;
  d.timers.erase(std::remove_if(d.timers.begin(), d.timers.end(),
                                [handle](const Timer& t) { return t.window == handle; }),
                 d.timers.end());
  d.windows.erase(handle);
}

// Whether a window is the given one or lies below it (the caller holds the lock).
bool is_within(Display& d, HWND window, HWND ancestor) {
  for (Window* w = d.window(window); w != nullptr; w = d.window(w->parent))
    if (w->handle == ancestor) return true;
  return false;
}

// A control's class in a template: an ordinal names a built-in class, a name is looked up
// as CreateWindowExA would.
const WindowClass* control_class(Display& d, const dialog_template::NameOrOrdinal& name,
                                 HINSTANCE instance) {
  if (!name.is_ordinal) return find_class(d, name.text.c_str(), instance);
  static const std::pair<uint16_t, WindowKind> kOrdinals[] = {{0x80, WindowKind::kButton},
                                                              {0x81, WindowKind::kEdit},
                                                              {0x82, WindowKind::kStatic},
                                                              {0x84, WindowKind::kScrollBar}};
  for (const auto& [ordinal, kind] : kOrdinals)
    if (ordinal == name.ordinal) return builtin_class(d, kind);
  return nullptr;
}

// Builds the dialog window and then its controls in template order; null when a control's
// class is unknown or a control refuses creation, the windows made so far destroyed again. The
// dialog procedure is not attached yet, so a failed dialog never reaches it.
HWND create_dialog(const dialog_template::Template& t, HINSTANCE instance, HWND owner) {
  Display& d = display();
  NewWindow dialog;
  std::vector<NewWindow> controls;
  {
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    if (t.window_class.is_ordinal || !t.window_class.text.empty()) {
      set_last_error(kCannotFindClass);  // dialogs of their own class are not offered
      return nullptr;
    }
    if (owner != nullptr && d.window(owner) == nullptr) {
      set_last_error(kInvalidWindowHandle);
      return nullptr;
    }
    const int bx = d.base_unit_x, by = d.base_unit_y;
    dialog.window_class = builtin_class(d, WindowKind::kDialog);
    dialog.style = t.style;
    dialog.ex_style = t.ex_style;
    dialog.text = t.caption;
    dialog.owner = top_level_of(d, owner);
    dialog.instance = instance;
    // The template places the client area relative to the owner's client area (or the
    // screen, DS_ABSALIGN); the frame goes around it; the whole stays on the screen.
    POINT origin{0, 0};
    if (dialog.owner != nullptr && !(t.style & DS_ABSALIGN))
      origin = d.client_origin(*d.window(dialog.owner));
    Insets in = insets_for(t.style, t.ex_style);
    int left = origin.x + scale(t.x, bx, 4) - in.left;
    int top = origin.y + scale(t.y, by, 8) - in.top;
    int width = scale(t.cx, bx, 4) + in.left + in.right;
    int height = scale(t.cy, by, 8) + in.top + in.bottom;
    left = std::max(0, std::min(left, d.screen_width - width));
    top = std::max(0, std::min(top, d.screen_height - height));
    dialog.rect = {left, top, left + width, top + height};
    for (const dialog_template::Control& c : t.controls) {
      NewWindow n;
      n.style = c.style | WS_CHILD;
      n.ex_style = c.ex_style;
      if (d.dialog_3d_look && (n.style & WS_BORDER)) {
        // Windows draws a bordered dialog control with a sunken 2-pixel edge instead.
        n.style &= ~DWORD(WS_BORDER);
        n.ex_style |= WS_EX_CLIENTEDGE;
      }
      n.text = c.text.is_ordinal ? std::string() : c.text.text;
      int x = scale(c.x, bx, 4), y = scale(c.y, by, 8);
      n.rect = {x, y, x + scale(c.cx, bx, 4), y + scale(c.cy, by, 8)};
      n.id = c.id;
      n.menu = reinterpret_cast<HMENU>(uintptr_t{c.id});
      n.instance = instance;
      if (!c.creation_data.empty()) n.create_params = const_cast<uint8_t*>(c.creation_data.data());
      controls.push_back(std::move(n));
    }
  }
  HWND handle = create_window(dialog);
  if (handle == nullptr) return nullptr;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    NewWindow& n = controls[i];
    n.parent = handle;
    {
      std::lock_guard<std::recursive_mutex> lock(d.mutex);
      n.window_class = control_class(d, t.controls[i].window_class, instance);
    }
    if (n.window_class == nullptr || create_window(n) == nullptr) {
      DestroyWindow(handle);
      if (n.window_class == nullptr) set_last_error(kCannotFindClass);
      return nullptr;
    }
  }
  return handle;
}

}  // namespace

Display::Display() {
  struct BuiltIn {
    const char* name;
    WindowKind kind;
    WNDPROC procedure;
  };
  static const BuiltIn kBuiltIn[] = {{"button", WindowKind::kButton, button_procedure},
                                     {"edit", WindowKind::kEdit, edit_procedure},
                                     {"static", WindowKind::kStatic, static_procedure},
                                     {"scrollbar", WindowKind::kScrollBar, scroll_bar_procedure},
                                     {"#32770", WindowKind::kDialog, DefWindowProcA}};
  for (const BuiltIn& b : kBuiltIn) {
    WindowClass c;
    c.name = b.name;
    c.atom = next_atom++;
    atoms[upper(b.name)] = c.atom;
    c.kind = b.kind;
    c.procedure = b.procedure;
    classes.push_back(c);
  }
  stock_bitmap = reinterpret_cast<HGDIOBJ>(new_handle());
  Bitmap& stock = bitmaps[stock_bitmap];
  stock.stock = true;
  stock.raster.bits_per_pixel = 1;
  stock.raster.resize(1, 1);
}

Display& display() {
  static Display& d = *new Display;  // never destroyed: windows may go during exit
  return d;
}

Insets insets_for(DWORD style, DWORD ex_style) {
  Insets in;
  if (style & (WS_BORDER | WS_DLGFRAME)) in.left = in.top = in.right = in.bottom = kBorder;
  if (ex_style & WS_EX_CLIENTEDGE) {
    in.left += kClientEdge;
    in.top += kClientEdge;
    in.right += kClientEdge;
    in.bottom += kClientEdge;
  }
  if ((style & WS_CAPTION) == WS_CAPTION) in.top += kCaption;
  return in;
}

RECT client_rect(DWORD style, DWORD ex_style, const RECT& outer) {
  Insets in = insets_for(style, ex_style);
  return {0, 0, std::max(0, width_of(outer) - in.left - in.right),
          std::max(0, height_of(outer) - in.top - in.bottom)};
}

Window* Display::window_or_fail(HWND handle) {
  Window* w = window(handle);
  if (w == nullptr) set_last_error(kInvalidWindowHandle);
  return w;
}

POINT Display::client_origin(const Window& w) {
  Insets in = insets_for(w.style, w.ex_style);
  POINT p{w.rect.left + in.left, w.rect.top + in.top};
  if (Window* parent = window(w.parent)) {
    POINT o = client_origin(*parent);
    p.x += o.x;
    p.y += o.y;
  }
  return p;
}

}  // namespace headless_detail

using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using headless_detail::Window;
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

BOOL DestroyWindow(HWND window) {
  Display& d = display();
  std::vector<HWND> owned;
  {
    Lock lock(d.mutex);
    Window* w = d.window(window);
    if (w == nullptr) {
      set_last_error(headless_detail::kInvalidWindowHandle);
      return FALSE;
    }
    if (w->destroying) return TRUE;  // already on its way, from a WM_DESTROY handler
    w->destroying = true;
    for (const auto& entry : d.windows)
      if (entry.second->owner == window && !entry.second->destroying) owned.push_back(entry.first);
  }
  for (HWND h : owned) DestroyWindow(h);  // owned windows go first
  headless_detail::send_destroy(window);
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr) return TRUE;
  if (Window* parent = d.window(w->parent)) {
    auto& siblings = parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), window), siblings.end());
  }
  headless_detail::free_subtree(d, window);
  return TRUE;
}

BOOL IsWindow(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  return d.window(window) != nullptr ? TRUE : FALSE;
}

namespace {

// WM_ERASEBKGND's default: the region being painted filled with the class's background brush
// (a system colour index plus one, or a brush). Nonzero when it erased.
LRESULT erase_background(HWND window, HDC dc) {
  HBRUSH brush = nullptr;
  RECT area{};
  {
    Display& d = display();
    Lock lock(d.mutex);
    Window* w = d.window(window);
    if (w == nullptr || w->window_class == nullptr || w->window_class->background == nullptr)
      return 0;
    brush = w->window_class->background;
    area = w->erasing;
  }
  const auto index = reinterpret_cast<intptr_t>(brush);
  if (index > 0 && index <= 31) {
    // The system colour a class may name here: the window colour.
    if (index - 1 == COLOR_WINDOW) {
      brush = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    } else {
      return 0;
    }
  }
  return FillRect(dc, &area, brush) != 0 ? 1 : 0;
}

}  // namespace

UINT GetACP() {
  Display& d = display();
  Lock lock(d.mutex);
  return d.code_page;
}

namespace {

// Wide text (code points: wchar_t is 32 bits here) to UTF-8.
std::string utf8_of(LPCWSTR text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) utf16::append_utf8(out, uint32_t(*text));
  return out;
}

}  // namespace

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
  return SetWindowTextA(window, utf8_of(text).c_str());
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
  return SetDlgItemTextA(dialog, id, utf8_of(text).c_str());
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return headless_detail::send_message(window, message, wparam, lparam);
}

// WM_CLOSE destroys the window; WM_PAINT validates it; the window's text is set and read with
// WM_SETTEXT (which invalidates the window), WM_GETTEXT (cut to the buffer less one, with the
// count copied as answer) and WM_GETTEXTLENGTH.
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_ERASEBKGND:
      return erase_background(window, reinterpret_cast<HDC>(wparam));
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
      break;
    default:
      return 0;
  }
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr) return 0;
  if (message == WM_SETTEXT) {
    auto text = reinterpret_cast<const char*>(lparam);
    w->text = text != nullptr ? text : "";
    headless_detail::invalidate_tree(d, window);
    return TRUE;
  }
  if (message == WM_GETTEXTLENGTH) return LRESULT(w->text.size());
  auto buffer = reinterpret_cast<char*>(lparam);
  if (buffer == nullptr || wparam == 0) return 0;
  std::size_t count = std::min<std::size_t>(w->text.size(), wparam - 1);
  std::memcpy(buffer, w->text.data(), count);
  buffer[count] = '\0';
  return LRESULT(count);
}

BOOL SetWindowTextA(HWND window, LPCSTR text) {
  if (!IsWindow(window)) {
    set_last_error(headless_detail::kInvalidWindowHandle);
    return FALSE;
  }
  return headless_detail::send_message(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0;
}

int GetWindowTextA(HWND window, LPSTR buffer, int buffer_max) {
  if (buffer != nullptr && buffer_max > 0) buffer[0] = '\0';
  if (buffer == nullptr || buffer_max <= 0) return 0;
  return int(headless_detail::send_message(window, WM_GETTEXT, WPARAM(buffer_max),
                                           reinterpret_cast<LPARAM>(buffer)));
}

int GetWindowTextLengthA(HWND window) {
  return int(headless_detail::send_message(window, WM_GETTEXTLENGTH, 0, 0));
}

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND owner,
                        DLGPROC dialog_procedure, LPARAM init_param) {
  Display& d = display();
  {
    Lock lock(d.mutex);
    d.last_dialog_ran_out_of_script = false;
  }
  HRSRC resource = FindResourceA(instance, template_name, RT_DIALOG);
  if (resource == nullptr) return -1;
  auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(instance, resource)));
  auto parsed = dialog_template::parse(bytes, SizeofResource(instance, resource), nullptr);
  if (!parsed) {
    set_last_error(headless_detail::kInvalidData);
    return -1;
  }
  HWND previous_focus = GetFocus();
  HWND dialog = headless_detail::create_dialog(*parsed, instance, owner);
  if (dialog == nullptr) return -1;
  std::shared_ptr<headless_detail::DialogState> state;
  HWND first_tab_stop = nullptr;
  {
    Lock lock(d.mutex);
    Window* w = d.window(dialog);
    state = w->dialog;
    state->procedure = dialog_procedure;
    for (HWND child : w->children) {
      if (d.window(child)->style & WS_TABSTOP) {
        first_tab_stop = child;
        break;
      }
    }
  }
  // TRUE asks for the focus on the control in wParam; a dialog that ended already gets none.
  LRESULT set_focus = headless_detail::send_message(
      dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(first_tab_stop), init_param);
  if (set_focus != 0 && first_tab_stop != nullptr && !state->ended)
    headless_detail::dialog_set_focus(first_tab_stop);
  headless_detail::run_modal_loop(dialog, state);
  // The focus goes back where it was before the dialog, so the dialog's focused control
  // loses it (with its notifications) while the dialog still exists.
  bool focus_inside;
  {
    Lock lock(d.mutex);
    focus_inside = d.focus != nullptr && headless_detail::is_within(d, d.focus, dialog);
  }
  if (focus_inside) SetFocus(IsWindow(previous_focus) ? previous_focus : nullptr);
  if (IsWindow(dialog)) DestroyWindow(dialog);
  // A dialog its procedure destroyed without EndDialog ends with 0.
  return state->ended ? state->result : 0;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(dialog);
  if (w == nullptr) return FALSE;
  if (w->dialog == nullptr) {
    set_last_error(headless_detail::kWindowNotDialog);
    return FALSE;
  }
  w->dialog->ended = true;
  w->dialog->result = result;
  return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(dialog);
  if (w == nullptr) return nullptr;
  for (HWND child : w->children)
    if (d.window(child)->id == id) return child;
  set_last_error(headless_detail::kControlIdNotFound);
  return nullptr;
}

int GetDlgCtrlID(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(window);
  if (w == nullptr) return 0;
  return w->parent != nullptr ? w->id : 0;
}

// A child's parent, or a top-level window's owner.
HWND GetParent(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(window);
  if (w == nullptr) return nullptr;
  return w->parent != nullptr ? w->parent : w->owner;
}

BOOL GetClientRect(HWND window, LPRECT rect) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr || rect == nullptr) {
    set_last_error(w == nullptr ? headless_detail::kInvalidWindowHandle
                                : headless_detail::kInvalidParameter);
    return FALSE;
  }
  *rect = headless_detail::client_rect(w->style, w->ex_style, w->rect);
  return TRUE;
}

BOOL GetWindowRect(HWND window, LPRECT rect) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr || rect == nullptr) {
    set_last_error(w == nullptr ? headless_detail::kInvalidWindowHandle
                                : headless_detail::kInvalidParameter);
    return FALSE;
  }
  POINT origin{0, 0};
  if (Window* parent = d.window(w->parent)) origin = d.client_origin(*parent);
  *rect = {w->rect.left + origin.x, w->rect.top + origin.y, w->rect.right + origin.x,
           w->rect.bottom + origin.y};
  return TRUE;
}

BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window_or_fail(window);
  if (w == nullptr) return FALSE;
  const RECT moved{x, y, x + std::max(0, width), y + std::max(0, height)};
  // As on Windows, a move that changes nothing repaints nothing.
  if (moved.left == w->rect.left && moved.top == w->rect.top && moved.right == w->rect.right &&
      moved.bottom == w->rect.bottom)
    return TRUE;
  w->rect = moved;
  headless_detail::size_framebuffer(*w);
  if (repaint) headless_detail::invalidate_tree(d, window);
  return TRUE;
}

namespace {

// Moves a point between screen and client coordinates: sign -1 to the client, +1 back.
BOOL shift_point(HWND window, LPPOINT point, int sign) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr || point == nullptr) {
    set_last_error(w == nullptr ? headless_detail::kInvalidWindowHandle
                                : headless_detail::kInvalidParameter);
    return FALSE;
  }
  POINT origin = d.client_origin(*w);
  point->x += sign * origin.x;
  point->y += sign * origin.y;
  return TRUE;
}

}  // namespace

BOOL ScreenToClient(HWND window, LPPOINT point) { return shift_point(window, point, -1); }

BOOL ClientToScreen(HWND window, LPPOINT point) { return shift_point(window, point, 1); }

int GetSystemMetrics(int index) {
  Display& d = display();
  Lock lock(d.mutex);
  switch (index) {
    case SM_CXSCREEN:
      return d.screen_width;
    case SM_CYSCREEN:
      return d.screen_height;
    case SM_CYCAPTION:
      return headless_detail::kCaption;
    case SM_CXBORDER:
    case SM_CYBORDER:
      return headless_detail::kBorder;
    default:
      return 0;
  }
}

namespace headless {

void set_screen_size(int width, int height) {
  Display& d = display();
  Lock lock(d.mutex);
  d.screen_width = width;
  d.screen_height = height;
}

void set_dialog_base_units(int x, int y) {
  Display& d = display();
  Lock lock(d.mutex);
  d.base_unit_x = x;
  d.base_unit_y = y;
}

void set_code_page(unsigned code_page) {
  Display& d = display();
  Lock lock(d.mutex);
  d.code_page = code_page;
}

void set_dialog_3d_look(bool on) {
  Display& d = display();
  Lock lock(d.mutex);
  d.dialog_3d_look = on;
}

bool last_dialog_ran_out_of_script() {
  Display& d = display();
  Lock lock(d.mutex);
  return d.last_dialog_ran_out_of_script;
}

std::vector<std::string> registered_classes() {
  Display& d = display();
  Lock lock(d.mutex);
  std::vector<std::string> names;
  for (const WindowClass& c : d.classes)
    if (c.instance != nullptr) names.push_back(c.name);
  return names;
}

std::optional<WindowInfo> window_info(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr) return std::nullopt;
  WindowInfo info;
  info.class_name = w->window_class->name;
  info.text = w->text;
  info.style = w->style;
  info.ex_style = w->ex_style;
  info.id = w->id;
  info.parent = w->parent;
  info.owner = w->owner;
  info.children = w->children;
  info.is_dialog = w->dialog != nullptr;
  return info;
}

COLORREF window_pixel(HWND window, int x, int y) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  return w == nullptr ? CLR_INVALID : w->framebuffer.pixel(x, y);
}

namespace {

constexpr COLORREF kBorderGray = 0x808080;

// Puts a window's client pixels into the picture with the client's top-left corner at
// (left, top), clipped to clip; then its children over them, each inside its border.
void compose(headless_detail::Display& d, const Window& w, int left, int top, RECT clip,
             Picture& picture) {
  RECT client = headless_detail::client_rect(w.style, w.ex_style, w.rect);
  clip = {std::max<LONG>(clip.left, left), std::max<LONG>(clip.top, top),
          std::min<LONG>(clip.right, left + client.right),
          std::min<LONG>(clip.bottom, top + client.bottom)};
  for (LONG y = clip.top; y < clip.bottom; ++y) {
    for (LONG x = clip.left; x < clip.right; ++x) {
      COLORREF c = w.framebuffer.pixel(int(x - left), int(y - top));
      if (c == CLR_INVALID) c = 0;  // past the largest framebuffer
      unsigned char* p =
          picture.rgb.data() + (std::size_t(y) * std::size_t(picture.width) + std::size_t(x)) * 3;
      p[0] = GetRValue(c);
      p[1] = GetGValue(c);
      p[2] = GetBValue(c);
    }
  }
  for (HWND handle : w.children) {
    const Window* child = d.window(handle);
    if (child == nullptr) continue;
    headless_detail::Insets in = headless_detail::insets_for(child->style, child->ex_style);
    RECT outer{std::max<LONG>(clip.left, left + child->rect.left),
               std::max<LONG>(clip.top, top + child->rect.top),
               std::min<LONG>(clip.right, left + child->rect.right),
               std::min<LONG>(clip.bottom, top + child->rect.bottom)};
    for (LONG y = outer.top; y < outer.bottom; ++y) {
      for (LONG x = outer.left; x < outer.right; ++x) {
        unsigned char* p =
            picture.rgb.data() + (std::size_t(y) * std::size_t(picture.width) + std::size_t(x)) * 3;
        p[0] = p[1] = p[2] = GetRValue(kBorderGray);
      }
    }
    compose(d, *child, left + child->rect.left + in.left, top + child->rect.top + in.top, outer,
            picture);
  }
}

}  // namespace

std::optional<Picture> window_picture(HWND window) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(window);
  if (w == nullptr) return std::nullopt;
  RECT client = headless_detail::client_rect(w->style, w->ex_style, w->rect);
  Picture picture;
  picture.width = client.right;
  picture.height = client.bottom;
  picture.rgb.assign(std::size_t(picture.width) * std::size_t(picture.height) * 3, 0);
  compose(d, *w, 0, 0, client, picture);
  return picture;
}

void reset_display_settings() {
  Display& d = display();
  Lock lock(d.mutex);
  d.screen_width = 1024;
  d.screen_height = 768;
  d.base_unit_x = 6;
  d.base_unit_y = 12;
  d.dialog_3d_look = false;
  d.code_page = 936;
  d.gdi_fail_countdown = 0;
  d.last_dialog_ran_out_of_script = false;
}

}  // namespace headless

// DialogBoxParamA: a modal dialog built from its template resource, with dialog base units
// turning template units into pixels, WM_INITDIALOG first, then the modal loop; afterwards
// the focus goes back and the dialog goes.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "headless_win32/dialog_manager.h"
#include "headless_win32/dialog_template.h"
#include "headless_win32/display.h"
#include "headless_win32/frames.h"
#include "headless_win32/internal.h"
#include "headless_win32/messages.h"
#include "headless_win32/ui_script_player.h"
#include "headless_win32/window_classes.h"
#include "headless_win32/window_tree.h"

namespace headless_detail {
namespace {

constexpr DWORD kInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE
constexpr DWORD kCannotFindClass = 1407;      // ERROR_CANNOT_FIND_WND_CLASS
constexpr DWORD kInvalidData = 13;            // ERROR_INVALID_DATA

// Dialog units to pixels, rounded to nearest with halves away from zero (MulDiv).
int scale(int value, int numerator, int denominator) {
  long long product = 2LL * value * numerator;
  long long twice = product >= 0 ? product + denominator : product - denominator;
  return int(twice / (2LL * denominator));
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
      origin = client_origin(d, *d.window(dialog.owner));
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
}  // namespace headless_detail

using headless_detail::Display;
using headless_detail::display;
using headless_detail::set_last_error;
using headless_detail::Window;
using Lock = std::lock_guard<std::recursive_mutex>;

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

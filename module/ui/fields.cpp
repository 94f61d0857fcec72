// The dialog's four number fields, each paired with a horizontal scroll bar whose range is
// the field's valid range. A bar never writes its setting: it writes the number into its
// field, and the field's notifications (sent back to the dialog procedure inside the call)
// read it into the setting.
#include <algorithm>

#include "module/host/host.h"
#include "module/module_state.h"
#include "module/ui/ui.h"

using namespace dialog_id;

namespace {

// EM_SETSEL's end for "the whole text": 16-bit Windows packed the start (0) and the end (99)
// into this one long; 32-bit Windows takes it whole as the end, past any field's text.
constexpr LPARAM kWholeTextEnd = MAKELONG(0, 99);

// The field a bar writes into.
int paired_field(int bar) {
  switch (bar) {
    case kRegionsBar:
      return kRegions;
    case kIntensityBar:
      return kIntensity;
    case kAngleBar:
      return kAngle;
    default:
      return kSpacing;  // kSpacingBar
  }
}

HWND item(int id) { return GetDlgItem(module_state.dialog.dialog_window, id); }

}  // namespace

void center_dialog(HWND window) {
  RECT outer{};
  GetWindowRect(window, &outer);
  auto width = int16_t(outer.right - outer.left), height = int16_t(outer.bottom - outer.top);
  int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  MoveWindow(window, std::max(x, 0), std::max(y, 0), width, height, TRUE);
}

void init_control(int16_t value, int16_t min, int16_t max, int edit, int bar) {
  HWND dialog = module_state.dialog.dialog_window;
  SetScrollRange(item(bar), SB_CTL, min, max, FALSE);
  set_scroll_pos_if_valid(item(bar), value);
  SetDlgItemInt(dialog, edit, UINT(uint16_t(value)), FALSE);
  int limit = 2 + (max >= 100 ? 1 : 0) + (min < 0 ? 1 : 0);
  SendDlgItemMessageA(dialog, edit, EM_LIMITTEXT, WPARAM(limit), 0);
}

int16_t read_edit_value(int edit, int16_t min, int16_t max) {
  BOOL translated = FALSE;
  auto value = int16_t(GetDlgItemInt(module_state.dialog.dialog_window, edit, &translated, FALSE));
  if (!translated || value < min || value > max) return kInvalidNumber;
  return value;
}

void set_scroll_pos_if_valid(HWND bar, int16_t value) {
  if (value >= 0) SetScrollPos(bar, SB_CTL, value, TRUE);
}

void set_scroll_value(int bar, int16_t position) {
  HWND handle = item(bar);
  int min = 0, max = 0;
  GetScrollRange(handle, SB_CTL, &min, &max);
  auto value = int16_t(std::min<int>(std::max<int>(position, min), max));
  if (GetScrollPos(handle, SB_CTL) == value) return;
  set_scroll_pos_if_valid(handle, value);
  SetDlgItemInt(module_state.dialog.dialog_window, paired_field(bar), UINT(uint16_t(value)), FALSE);
}

void handle_scroll(int bar, int16_t code, int16_t thumb) {
  HWND handle = item(bar);
  int position = GetScrollPos(handle, SB_CTL);
  int page = bar == kRegionsBar ? 2 : 10;
  int min = 0, max = 0;
  GetScrollRange(handle, SB_CTL, &min, &max);
  int next;
  switch (code) {
    case SB_LINELEFT:
      next = position - 1;
      break;
    case SB_LINERIGHT:
      next = position + 1;
      break;
    case SB_PAGELEFT:
      next = ((position - 1) / page) * page;  // truncating: the next lower multiple
      break;
    case SB_PAGERIGHT:
      next = (position / page + 1) * page;
      break;
    case SB_THUMBPOSITION:
    case SB_THUMBTRACK:
      next = thumb;
      break;
    case SB_LEFT:
      next = min;
      break;
    case SB_RIGHT:
      next = max;
      break;
    default:
      return;  // SB_ENDSCROLL and anything else
  }
  set_scroll_value(bar, int16_t(next));
}

int16_t reject_edit(int edit) {
  MessageBeep(0);
  select_and_focus(edit);
  return 0;
}

void select_and_focus(int edit) {
  SendDlgItemMessageA(module_state.dialog.dialog_window, edit, EM_SETSEL, 0, kWholeTextEnd);
  SetFocus(item(edit));
}

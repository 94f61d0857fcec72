// The parameter dialog: its procedure and run_dialog, which shows it when the stored record
// asks for it. Start also opens it once, invisibly, to measure the big preview control.
#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/outline/outline.h"
#include "module/preview/preview.h"
#include "module/ui/ui.h"

namespace {

constexpr int kPreview = 102, kRestore = 103;
constexpr int kParallel = 250, kRightAngle = 251, kMixed = 252, kFade = 223;
constexpr int kRegions = 115, kIntensity = 117, kAngle = 153, kSpacing = 228;
constexpr int kRegionsBar = 120, kIntensityBar = 122, kAngleBar = 154, kSpacingBar = 229;

// The measuring pass: the big preview's client size, then the dialog ends before it shows.
INT_PTR on_measure(HWND dialog, WPARAM wparam) {
  ModuleState& s = module_state;
  RECT client{};
  GetClientRect(GetDlgItem(dialog, kBigView), &client);
  s.view_width = int16_t(client.right);
  s.view_height = int16_t(client.bottom);
  EndDialog(dialog, LOWORD(wparam));
  return TRUE;
}

INT_PTR on_init(HWND dialog) {
  ModuleState& s = module_state;
  center_dialog(dialog);
  CheckRadioButton(dialog, kParallel, kMixed,
                   s.mode < 0    ? kMixed
                   : s.mode == 0 ? kParallel
                                 : kRightAngle);
  CheckDlgButton(dialog, kFade, UINT(s.fade));
  init_control(s.regions, 1, 20, kRegions, kRegionsBar);
  init_control(s.intensity, 0, 100, kIntensity, kIntensityBar);
  init_control(s.angle, 0, 360, kAngle, kAngleBar);
  init_control(s.spacing, 5, 100, kSpacing, kSpacingBar);
  if (selection_present()) build_outline();
  return TRUE;
}

// A field's notification: its setting follows the text (-1 while the text is invalid), and
// the guide lines follow the settings they show.
void on_field(int16_t id) {
  ModuleState& s = module_state;
  const bool overlays = id != kIntensity;
  int16_t* setting = id == kRegions   ? &s.regions
                     : id == kAngle   ? &s.angle
                     : id == kSpacing ? &s.spacing
                                      : &s.intensity;
  int bar_id = id == kRegions   ? kRegionsBar
               : id == kAngle   ? kAngleBar
               : id == kSpacing ? kSpacingBar
                                : kIntensityBar;
  if (overlays) restore_marker_area(-2);
  HWND bar = GetDlgItem(s.dialog_window, bar_id);
  int min = 0, max = 0;
  GetScrollRange(bar, SB_CTL, &min, &max);
  *setting = read_edit_value(id, int16_t(min), int16_t(max));
  if (overlays) redraw_overlays(-2);
  set_scroll_pos_if_valid(bar, *setting);
}

// Preview and OK: every invalid field is rejected in turn; Preview filters the preview, OK
// ends the dialog.
void on_preview_or_ok(int16_t id) {
  ModuleState& s = module_state;
  if (s.regions < 0) id = reject_edit(kRegions);
  if (s.intensity < 0) id = reject_edit(kIntensity);
  if (s.angle < 0) id = reject_edit(kAngle);
  if (s.spacing < 0) id = reject_edit(kSpacing);
  if (id == kPreview) {
    s.show_result = 1;
    // Every field is valid here, so no -1 of an invalid field reaches the effect.
    set_preview_effect(EffectSettings{s.regions, s.intensity, s.angle, s.spacing, s.mode, s.fade},
                       preview_to_work(s.center_x), preview_to_work(s.center_y));
    render_big_preview();
  } else if (id == IDOK) {
    if (selection_present()) KillTimer(s.dialog_window, kAntsTimer);
    EndDialog(s.dialog_window, IDOK);
  }
}

INT_PTR on_command(int16_t id) {
  ModuleState& s = module_state;
  switch (id) {
    case kParallel:
    case kRightAngle:
    case kMixed:
      restore_marker_area(-2);
      s.mode = int16_t(id == kParallel ? 0 : id == kRightAngle ? 1 : -1);
      CheckRadioButton(s.dialog_window, kParallel, kMixed, id);
      redraw_overlays(-2);
      return TRUE;
    case kFade:
      s.fade = int16_t(s.fade ^ 1);
      CheckDlgButton(s.dialog_window, kFade, UINT(s.fade));
      return TRUE;
    case kRegions:
    case kAngle:
    case kSpacing:
    case kIntensity:
      on_field(id);
      return TRUE;
    case kPreview:
    case IDOK:
      on_preview_or_ok(id);
      return TRUE;
    case kRestore:
      if (s.show_result == 1) {
        s.show_result = 0;
        render_big_preview();
      }
      return TRUE;
    case IDCANCEL:
      if (selection_present()) KillTimer(s.dialog_window, kAntsTimer);
      EndDialog(s.dialog_window, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

INT_PTR CALLBACK FilterDlg(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  ModuleState& s = module_state;
  s.dialog_window = window;
  switch (message) {
    case WM_INITDIALOG:
      if (s.view_width == 0) return on_measure(window, wparam);
      return on_init(window);
    case WM_COMMAND:
      return on_command(int16_t(LOWORD(wparam)));
    case WM_TIMER:
      if (selection_present() && s.dialog_ready != 0) ants_tick();
      return TRUE;
    case WM_HSCROLL:
      handle_scroll(GetDlgCtrlID(reinterpret_cast<HWND>(lparam)), int16_t(LOWORD(wparam)),
                    int16_t(HIWORD(wparam)));
      return TRUE;
    default:
      return FALSE;
  }
}

void run_dialog() {
  ModuleState& s = module_state;
  ParameterRecord* record = lock_record();
  if (record == nullptr || record->show_dialog == 0) {
    if (record != nullptr) unlock_record();
    return;
  }
  load_settings(record);
  s.show_result = 0;
  s.dialog_ready = 0;
  s.guides_drawn = 0;
  s.big_capture = 0;
  s.small_capture = 0;
  auto answer =
      int16_t(DialogBoxParamA(s.module_instance, "FILTERDLG", host_window(), FilterDlg, 0));
  if (answer == 2 || answer == -1) s.result_code = 1;
  if (s.result_code == 0) {
    record->regions = s.regions;
    record->intensity = s.intensity;
    record->angle = s.angle;
    record->spacing = s.spacing;
    record->center_h = preview_to_image(s.center_x);
    record->center_v = preview_to_image(s.center_y);
    record->mode = s.mode;
    record->fade = s.fade;
  }
  record->show_dialog = 0;
  s.dialog_ready = 0;
  unlock_record();
}

// The parameter dialog: its procedure and run_dialog, which shows it when the stored record
// asks for it. Start also opens it once, invisibly, to measure the big preview control.
#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/module_state.h"
#include "module/outline/outline.h"
#include "module/preview/preview.h"
#include "module/scripting/scripting.h"
#include "module/ui/ui.h"

using namespace dialog_id;

namespace {

// The measuring pass: the big preview's client size, then the dialog ends before it shows.
INT_PTR on_measure(HWND dialog, WPARAM wparam) {
  ModuleState& s = module_state;
  RECT client{};
  GetClientRect(GetDlgItem(dialog, kBigView), &client);
  s.dialog.measured_width = int16_t(client.right);
  s.dialog.measured_height = int16_t(client.bottom);
  EndDialog(dialog, LOWORD(wparam));
  return TRUE;
}

// The template's labels are Chinese, in the code page the dialog is made in (936). Elsewhere
// Windows would show them as question marks, so they are set in English through the
// wide-character calls.
void label_for_this_system(HWND dialog) {
  if (GetACP() == 936) return;
  for (const EnglishLabel& label : kEnglishLabels) SetDlgItemTextW(dialog, label.id, label.text);
}

INT_PTR on_init(HWND dialog) {
  ModuleState& s = module_state;
  center_dialog(dialog);
  label_for_this_system(dialog);
  CheckRadioButton(dialog, kParallel, kMixed,
                   s.settings.mode < 0    ? kMixed
                   : s.settings.mode == 0 ? kParallel
                                          : kRightAngle);
  CheckDlgButton(dialog, kFade, UINT(s.settings.fade));
  init_control(s.settings.regions, 1, 20, kRegions, kRegionsBar);
  init_control(s.settings.intensity, 0, 100, kIntensity, kIntensityBar);
  init_control(s.settings.angle, 0, 360, kAngle, kAngleBar);
  init_control(s.settings.spacing, 5, 100, kSpacing, kSpacingBar);
  if (selection_present()) build_outline();
  return TRUE;
}

// A field's notification: its setting follows the text (-1 while the text is invalid), and
// the guide lines follow the settings they show.
void on_field(int16_t id) {
  ModuleState& s = module_state;
  const bool overlays = id != kIntensity;
  int16_t* setting = id == kRegions   ? &s.settings.regions
                     : id == kAngle   ? &s.settings.angle
                     : id == kSpacing ? &s.settings.spacing
                                      : &s.settings.intensity;
  int bar_id = id == kRegions   ? kRegionsBar
               : id == kAngle   ? kAngleBar
               : id == kSpacing ? kSpacingBar
                                : kIntensityBar;
  if (overlays) restore_marker_area(Overlays::kGuidesOnly);
  HWND bar = GetDlgItem(s.dialog.dialog_window, bar_id);
  int min = 0, max = 0;
  GetScrollRange(bar, SB_CTL, &min, &max);
  *setting = read_edit_value(id, int16_t(min), int16_t(max));
  if (overlays) redraw_overlays(Overlays::kGuidesOnly);
  set_scroll_pos_if_valid(bar, *setting);
}

// Preview and OK: every invalid field is rejected in turn; Preview filters the preview, OK
// ends the dialog.
void on_preview_or_ok(int16_t id) {
  ModuleState& s = module_state;
  if (s.settings.regions == kInvalidNumber) id = reject_edit(kRegions);
  if (s.settings.intensity == kInvalidNumber) id = reject_edit(kIntensity);
  if (s.settings.angle == kInvalidNumber) id = reject_edit(kAngle);
  if (s.settings.spacing == kInvalidNumber) id = reject_edit(kSpacing);
  if (id == kPreview) {
    s.dialog.show_result = 1;
    // Every field is valid here, so no -1 of an invalid field reaches the effect.
    set_preview_effect(EffectSettings{s.settings.regions, s.settings.intensity, s.settings.angle,
                                      s.settings.spacing, s.settings.mode, s.settings.fade},
                       preview_to_work(s.preview.center_x), preview_to_work(s.preview.center_y));
    render_big_preview();
  } else if (id == kOk) {
    if (selection_present()) KillTimer(s.dialog.dialog_window, kAntsTimer);
    EndDialog(s.dialog.dialog_window, kOk);
  }
}

INT_PTR on_command(int16_t id) {
  ModuleState& s = module_state;
  switch (id) {
    case kParallel:
    case kRightAngle:
    case kMixed:
      restore_marker_area(Overlays::kGuidesOnly);
      s.settings.mode = id == kParallel     ? kModeParallel
                        : id == kRightAngle ? kModeRightAngle
                                            : kModeMixed;
      CheckRadioButton(s.dialog.dialog_window, kParallel, kMixed, id);
      redraw_overlays(Overlays::kGuidesOnly);
      return TRUE;
    case kFade:
      s.settings.fade = int16_t(s.settings.fade ^ 1);
      CheckDlgButton(s.dialog.dialog_window, kFade, UINT(s.settings.fade));
      return TRUE;
    case kRegions:
    case kAngle:
    case kSpacing:
    case kIntensity:
      on_field(id);
      return TRUE;
    case kPreview:
    case kOk:
      on_preview_or_ok(id);
      return TRUE;
    case kRestore:
      if (s.dialog.show_result == 1) {
        s.dialog.show_result = 0;
        render_big_preview();
      }
      return TRUE;
    case kCancel:
      if (selection_present()) KillTimer(s.dialog.dialog_window, kAntsTimer);
      EndDialog(s.dialog.dialog_window, kCancel);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

INT_PTR CALLBACK FilterDlg(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  ModuleState& s = module_state;
  s.dialog.dialog_window = window;
  switch (message) {
    case WM_INITDIALOG:
      if (s.dialog.measuring != 0) return on_measure(window, wparam);
      return on_init(window);
    case WM_COMMAND:
      return on_command(int16_t(LOWORD(wparam)));
    case WM_TIMER:
      if (selection_present() && s.preview.dialog_ready != 0) ants_tick();
      return TRUE;
    case WM_HSCROLL:
      handle_scroll(GetDlgCtrlID(reinterpret_cast<HWND>(lparam)), int16_t(LOWORD(wparam)),
                    int16_t(HIWORD(wparam)));
      return TRUE;
    default:
      return FALSE;
  }
}

bool measure_big_view(int16_t* width, int16_t* height) {
  ModuleState& s = module_state;
  s.dialog.measuring = 1;
  s.dialog.measured_width = s.dialog.measured_height = 0;
  DialogBoxParamA(s.host.module_instance, "FILTERDLG", host_window(), FilterDlg, 0);
  s.dialog.measuring = 0;
  *width = s.dialog.measured_width;
  *height = s.dialog.measured_height;
  return *width > 0 && *height > 0;
}

void guides_painted_over() { module_state.dialog.guides_drawn = 0; }

bool run_dialog() {
  ModuleState& s = module_state;
  ParameterRecord* record = lock_record();
  if (record == nullptr || !dialog_wanted(record->show_dialog)) {
    if (record != nullptr) unlock_record();
    return true;
  }
  // The dialog opens on the settings of the run: an action step's played values, when the
  // host hands any, else the stored ones.
  const EffectSettings stored = played_settings(settings_from_record(*record));
  s.settings = SettingsState{stored.regions, stored.intensity, stored.angle,
                             stored.spacing, stored.mode,      stored.fade};
  s.dialog.show_result = 0;
  reset_preview_views();
  s.dialog.guides_drawn = 0;
  s.dialog.big_capture = 0;
  s.dialog.small_capture = 0;
  auto answer =
      int16_t(DialogBoxParamA(s.host.module_instance, "FILTERDLG", host_window(), FilterDlg, 0));
  const bool confirmed = answer != 2 && answer != -1;
  if (confirmed) {
    record->regions = s.settings.regions;
    record->intensity = s.settings.intensity;
    record->angle = s.settings.angle;
    record->spacing = s.settings.spacing;
    record->center_h = preview_to_image(s.preview.center_x);
    record->center_v = preview_to_image(s.preview.center_y);
    record->mode = s.settings.mode;
    record->fade = s.settings.fade;
    scripting_dialog_confirmed();
  }
  record->show_dialog = 0;
  reset_preview_views();
  unlock_record();
  return confirmed;
}

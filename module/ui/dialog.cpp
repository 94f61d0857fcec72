// The parameter dialog: its procedure and run_dialog, which shows it when the stored record
// asks for it. Start also opens it once, invisibly, to measure the big preview control.
#include "module/host/host.h"
#include "module/preview/preview.h"
#include "module/ui/ui.h"

namespace {

constexpr int kBigView = 100;

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

}  // namespace

INT_PTR CALLBACK FilterDlg(HWND window, UINT message, WPARAM wparam, LPARAM /*lparam*/) {
  module_state.dialog_window = window;
  switch (message) {
    case WM_INITDIALOG:
      if (module_state.view_width == 0) return on_measure(window, wparam);
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
  unlock_record();
}

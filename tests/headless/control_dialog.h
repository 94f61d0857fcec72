// A test fixture that opens the module's own dialog template with a recording dialog
// procedure, and preview classes whose procedure records mouse messages and paints and takes
// the capture on a button press as the module's views do.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "headless_win32/headless.h"

namespace control_dialog {

inline HINSTANCE self() { return GetModuleHandleA(nullptr); }

// What the dialog procedure saw: WM_COMMAND (id, notification code), WM_HSCROLL (scroll code
// as id, position as code) and WM_TIMER (timer id as id).
struct Event {
  UINT message;
  int id;
  int code;
  LPARAM lparam = 0;
  bool operator==(const Event& other) const {
    return message == other.message && id == other.id && code == other.code;
  }
};

inline std::ostream& operator<<(std::ostream& out, const Event& e) {
  return out << "{" << e.message << ", " << e.id << ", 0x" << std::hex << e.code << std::dec << "}";
}

struct ViewEvent {
  HWND window;
  UINT message;
  WPARAM wparam;
  int x, y;
};

struct DialogRun {
  HWND dialog = nullptr;
  std::vector<Event> events;
  std::vector<ViewEvent> view_events;  // mouse messages of the two views
  int view_paints = 0;                 // WM_PAINT to either view
  BOOL init_answer = TRUE;
  std::function<void(HWND)> on_init;
  std::function<void(HWND, int id, int code)> on_command;
  std::function<void(HWND, UINT_PTR id)> on_timer;
};

inline DialogRun* g_run = nullptr;

inline INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  DialogRun& run = *g_run;
  switch (message) {
    case WM_INITDIALOG:
      run.dialog = dialog;
      if (run.on_init) run.on_init(dialog);
      return run.init_answer;
    case WM_COMMAND: {
      int id = LOWORD(wparam), code = HIWORD(wparam);
      run.events.push_back({WM_COMMAND, id, code, lparam});
      if ((id == IDOK || id == IDCANCEL) && code == BN_CLICKED) EndDialog(dialog, id);
      if (run.on_command) run.on_command(dialog, id, code);
      return TRUE;
    }
    case WM_HSCROLL:
      run.events.push_back({WM_HSCROLL, LOWORD(wparam), HIWORD(wparam), lparam});
      return TRUE;
    case WM_TIMER:
      run.events.push_back({WM_TIMER, int(wparam), 0, lparam});
      if (run.on_timer) run.on_timer(dialog, wparam);
      return TRUE;
    default:
      return FALSE;
  }
}

inline LRESULT CALLBACK view_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (g_run != nullptr) {
    if (message == WM_PAINT) ++g_run->view_paints;
    if (message == WM_LBUTTONDOWN || message == WM_MOUSEMOVE || message == WM_LBUTTONUP)
      g_run->view_events.push_back(
          {window, message, wparam, int16_t(LOWORD(lparam)), int16_t(HIWORD(lparam))});
  }
  if (message == WM_LBUTTONDOWN) SetCapture(window);
  if (message == WM_LBUTTONUP && GetCapture() == window) ReleaseCapture();
  if (message == WM_LBUTTONDOWN || message == WM_MOUSEMOVE || message == WM_LBUTTONUP) return 0;
  return DefWindowProcA(window, message, wparam, lparam);
}

class Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    headless::reset_display_settings();
    headless::clear_records();
    headless::set_ui_script("");
    UnregisterClassA("big_view", self());
    UnregisterClassA("small_view", self());
    for (const char* name : {"big_view", "small_view"}) {
      WNDCLASSA c{};
      c.lpfnWndProc = view_procedure;
      c.hInstance = self();
      c.lpszClassName = name;
      ASSERT_NE(RegisterClassA(&c), 0);
    }
    windows_before_ = headless::display_counts().windows;
    g_run = &run_;
  }
  void TearDown() override {
    g_run = nullptr;
    headless::set_ui_script("");
    UnregisterClassA("big_view", self());
    UnregisterClassA("small_view", self());
    EXPECT_EQ(headless::display_counts().windows, windows_before_) << "windows left alive";
    EXPECT_EQ(GetFocus(), nullptr);
    EXPECT_EQ(GetCapture(), nullptr);
  }
  INT_PTR open() { return DialogBoxParamA(self(), "FILTERDLG", nullptr, dialog_procedure, 0); }
  // Opens the dialog to run checks inside WM_INITDIALOG, then ends it there.
  void inside(std::function<void(HWND)> checks) {
    run_.on_init = [checks](HWND dialog) {
      checks(dialog);
      EndDialog(dialog, 0);
    };
    EXPECT_EQ(open(), 0);
  }
  // Runs the dialog with a script that must parse.
  INT_PTR play(const std::string& script) {
    EXPECT_TRUE(headless::set_ui_script(script));
    return open();
  }
  std::vector<Event> commands_of(int id) const {
    std::vector<Event> out;
    for (const Event& e : run_.events)
      if (e.message == WM_COMMAND && e.id == id) out.push_back(e);
    return out;
  }

  DialogRun run_;
  std::size_t windows_before_ = 0;
};

}  // namespace control_dialog

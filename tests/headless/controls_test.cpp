// headless_win32's standard controls on the module's own dialog: edit text and notifications,
// GetDlgItemInt's translation, selections, focus, buttons, scroll bars, timers, painting and
// mouse capture.
#include <cstring>

#include "tests/headless/control_dialog.h"

namespace {

using control_dialog::Event;
using control_dialog::self;

constexpr int kAngleEdit = 153, kRegionsEdit = 115, kIntensityEdit = 117;
constexpr int kAngleBar = 154;

class HeadlessControls : public control_dialog::Fixture {};

TEST_F(HeadlessControls, SetDlgItemIntSendsUpdateThenChangeBeforeItReturns) {
  inside([&](HWND dialog) {
    run_.events.clear();
    EXPECT_TRUE(SetDlgItemInt(dialog, kRegionsEdit, 42, FALSE));
    HWND edit = GetDlgItem(dialog, kRegionsEdit);
    ASSERT_EQ(run_.events, (std::vector<Event>{{WM_COMMAND, kRegionsEdit, EN_UPDATE},
                                               {WM_COMMAND, kRegionsEdit, EN_CHANGE}}));
    EXPECT_EQ(run_.events[0].lparam, reinterpret_cast<LPARAM>(edit));
    EXPECT_EQ(run_.events[1].lparam, reinterpret_cast<LPARAM>(edit));
    EXPECT_EQ(headless::control_info(edit)->text, "42");
    SetDlgItemInt(dialog, kRegionsEdit, UINT(-7), TRUE);
    EXPECT_EQ(headless::control_info(edit)->text, "-7");
    SetDlgItemInt(dialog, kRegionsEdit, UINT(-7), FALSE);
    EXPECT_EQ(headless::control_info(edit)->text, "4294967289");
    // Setting the same text again still notifies.
    run_.events.clear();
    SetDlgItemTextA(dialog, kRegionsEdit, "4294967289");
    EXPECT_EQ(run_.events.size(), 2u);
  });
}

struct Translation {
  const char* text;
  BOOL is_signed;
  BOOL translated;
  UINT value;
};

TEST_F(HeadlessControls, GetDlgItemIntTranslatesDigitsWithBlanksAroundThemOnly) {
  const Translation cases[] = {
      {"", FALSE, FALSE, 0},
      {"12", FALSE, TRUE, 12},
      {"-3", FALSE, FALSE, 0},
      {"1a", FALSE, FALSE, 0},
      {" 7", FALSE, TRUE, 7},
      {"8  ", FALSE, TRUE, 8},
      {"1 2", FALSE, FALSE, 0},
      {"   ", FALSE, FALSE, 0},
      {"+5", FALSE, FALSE, 0},
      {"4294967295", FALSE, TRUE, 4294967295u},
      {"4294967296", FALSE, FALSE, 0},
      {"-3", TRUE, TRUE, UINT(-3)},
      {"-", TRUE, FALSE, 0},
      {"2147483648", TRUE, FALSE, 0},
      {"-2147483648", TRUE, TRUE, 0x80000000u},
  };
  inside([&](HWND dialog) {
    for (const Translation& c : cases) {
      SCOPED_TRACE(std::string("\"") + c.text + "\"");
      SetDlgItemTextA(dialog, kAngleEdit, c.text);
      BOOL translated = 99;
      EXPECT_EQ(GetDlgItemInt(dialog, kAngleEdit, &translated, c.is_signed), c.value);
      EXPECT_EQ(translated, c.translated);
    }
    BOOL translated = TRUE;
    EXPECT_EQ(GetDlgItemInt(dialog, 999, &translated, FALSE), 0u);  // no such control
    EXPECT_FALSE(translated);
  });
}

TEST_F(HeadlessControls, SettingTextIgnoresTheLimitAndPutsTheCaretAtTheStart) {
  inside([&](HWND dialog) {
    HWND edit = GetDlgItem(dialog, kRegionsEdit);
    EXPECT_EQ(headless::control_info(edit)->text_limit, 32767u);
    SendDlgItemMessageA(dialog, kRegionsEdit, EM_LIMITTEXT, 2, 0);
    EXPECT_EQ(SendMessageA(edit, EM_GETLIMITTEXT, 0, 0), 2);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    EXPECT_TRUE(SetDlgItemTextA(dialog, kRegionsEdit, "12345"));
    auto info = headless::control_info(edit);
    EXPECT_EQ(info->text, "12345");
    EXPECT_EQ(info->selection_start, 0u);
    EXPECT_EQ(info->selection_end, 0u);
    char buffer[4];
    EXPECT_EQ(GetDlgItemTextA(dialog, kRegionsEdit, buffer, sizeof buffer), 3u);
    EXPECT_STREQ(buffer, "123");  // cut to the buffer less one
    EXPECT_EQ(GetWindowTextLengthA(edit), 5);
    SendMessageA(edit, EM_LIMITTEXT, 0, 0);
    EXPECT_EQ(SendMessageA(edit, EM_GETLIMITTEXT, 0, 0), 0x7FFFFFFE);
  });
}

TEST_F(HeadlessControls, EmSetSelPastTheTextSelectsAllAndOrdersItsEnds) {
  inside([&](HWND dialog) {
    HWND edit = GetDlgItem(dialog, kAngleEdit);
    SetDlgItemTextA(dialog, kAngleEdit, "360");
    auto selection = [&] {
      auto info = headless::control_info(edit);
      return std::make_pair(info->selection_start, info->selection_end);
    };
    SendDlgItemMessageA(dialog, kAngleEdit, EM_SETSEL, 0, 0x630000);
    EXPECT_EQ(selection(), std::make_pair(DWORD{0}, DWORD{3}));
    DWORD start = 9, end = 9;
    LRESULT both = SendMessageA(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                                reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 3u);
    EXPECT_EQ(both, MAKELRESULT(0, 3));
    SendMessageA(edit, EM_SETSEL, 2, 1);
    EXPECT_EQ(selection(), std::make_pair(DWORD{1}, DWORD{2}));
    SendMessageA(edit, EM_SETSEL, 1, -1);
    EXPECT_EQ(selection(), std::make_pair(DWORD{1}, DWORD{3}));
    SendMessageA(edit, EM_SETSEL, WPARAM(-1), 0);  // the selection goes, the caret stays
    EXPECT_EQ(selection(), std::make_pair(DWORD{3}, DWORD{3}));
  });
}

TEST_F(HeadlessControls, FocusChangesNotifyTheOldFieldThenTheNewInsideSetFocus) {
  inside([&](HWND dialog) {
    HWND angle = GetDlgItem(dialog, kAngleEdit);
    HWND regions = GetDlgItem(dialog, kRegionsEdit);
    run_.events.clear();
    EXPECT_EQ(SetFocus(angle), nullptr);
    EXPECT_EQ(run_.events, (std::vector<Event>{{WM_COMMAND, kAngleEdit, EN_SETFOCUS}}));
    EXPECT_EQ(run_.events[0].lparam, reinterpret_cast<LPARAM>(angle));
    run_.events.clear();
    EXPECT_EQ(SetFocus(regions), angle);
    EXPECT_EQ(run_.events, (std::vector<Event>{{WM_COMMAND, kAngleEdit, EN_KILLFOCUS},
                                               {WM_COMMAND, kRegionsEdit, EN_SETFOCUS}}));
    EXPECT_EQ(GetFocus(), regions);
    run_.events.clear();
    EXPECT_EQ(SetFocus(regions), regions);  // already there: nothing is sent
    EXPECT_TRUE(run_.events.empty());
    // A button takes the focus without telling its parent (no BS_NOTIFY).
    EXPECT_EQ(SetFocus(GetDlgItem(dialog, 102)), regions);
    EXPECT_EQ(run_.events, (std::vector<Event>{{WM_COMMAND, kRegionsEdit, EN_KILLFOCUS}}));
    SetFocus(nullptr);
  });
}

TEST_F(HeadlessControls, AFocusMovedInsideKillFocusStaysThere) {
  inside([&](HWND dialog) {
    SetFocus(GetDlgItem(dialog, kAngleEdit));
    run_.on_command = [&](HWND d, int id, int code) {
      if (id == kAngleEdit && code == EN_KILLFOCUS) SetFocus(GetDlgItem(d, kIntensityEdit));
    };
    run_.events.clear();
    SetFocus(GetDlgItem(dialog, kRegionsEdit));
    run_.on_command = nullptr;
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kIntensityEdit));
    EXPECT_EQ(run_.events, (std::vector<Event>{{WM_COMMAND, kAngleEdit, EN_KILLFOCUS},
                                               {WM_COMMAND, kIntensityEdit, EN_SETFOCUS}}));
    SetFocus(nullptr);
  });
}

TEST_F(HeadlessControls, AProcedureAnsweringFalseKeepsTheFocusItPlaced) {
  run_.init_answer = FALSE;
  HWND intensity = nullptr;
  HWND focus_in_loop = nullptr;
  run_.on_init = [&](HWND dialog) {
    intensity = GetDlgItem(dialog, kIntensityEdit);
    SetFocus(intensity);
  };
  run_.on_command = [&](HWND, int id, int code) {
    if (id == IDCANCEL && code == BN_CLICKED) focus_in_loop = GetFocus();
  };
  EXPECT_EQ(play("key esc\n"), IDCANCEL);
  EXPECT_EQ(focus_in_loop, intensity);
  // When the dialog goes, the field loses the focus and says so.
  EXPECT_EQ(run_.events.back(), (Event{WM_COMMAND, kIntensityEdit, EN_KILLFOCUS}));
}

TEST_F(HeadlessControls, FocusAtTheFirstTabStopWhenWmInitDialogAnswersTrue) {
  HWND focus_in_loop = nullptr, preview = nullptr;
  run_.on_init = [&](HWND dialog) { preview = GetDlgItem(dialog, 102); };
  run_.on_command = [&](HWND, int id, int) {
    if (id == IDCANCEL) focus_in_loop = GetFocus();
  };
  EXPECT_EQ(play("key esc"), IDCANCEL);
  EXPECT_EQ(focus_in_loop, preview);
}

TEST_F(HeadlessControls, RadioAndCheckButtonsHoldTheChecksTheyAreGiven) {
  inside([&](HWND dialog) {
    EXPECT_TRUE(CheckRadioButton(dialog, 250, 252, 251));
    EXPECT_EQ(IsDlgButtonChecked(dialog, 250), 0u);
    EXPECT_EQ(IsDlgButtonChecked(dialog, 251), UINT{BST_CHECKED});
    EXPECT_EQ(IsDlgButtonChecked(dialog, 252), 0u);
    CheckRadioButton(dialog, 250, 252, 252);
    EXPECT_EQ(IsDlgButtonChecked(dialog, 251), 0u);
    EXPECT_EQ(IsDlgButtonChecked(dialog, 252), UINT{BST_CHECKED});
    EXPECT_TRUE(CheckDlgButton(dialog, 223, BST_CHECKED));
    EXPECT_EQ(IsDlgButtonChecked(dialog, 223), UINT{BST_CHECKED});
    EXPECT_EQ(headless::control_info(GetDlgItem(dialog, 223))->check, UINT{BST_CHECKED});
    CheckDlgButton(dialog, 223, BST_UNCHECKED);
    EXPECT_EQ(IsDlgButtonChecked(dialog, 223), 0u);
    // Push buttons have no check.
    CheckDlgButton(dialog, 102, BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(dialog, 102), 0u);
    EXPECT_FALSE(CheckDlgButton(dialog, 999, BST_CHECKED));
  });
}

TEST_F(HeadlessControls, ClickingANonAutomaticButtonSendsBnClickedAndChecksNothing) {
  inside([&](HWND dialog) {
    HWND radio = GetDlgItem(dialog, 250);
    HWND box = GetDlgItem(dialog, 223);
    run_.events.clear();
    SendMessageA(radio, BM_CLICK, 0, 0);
    SendMessageA(box, BM_CLICK, 0, 0);
    ASSERT_EQ(run_.events,
              (std::vector<Event>{{WM_COMMAND, 250, BN_CLICKED}, {WM_COMMAND, 223, BN_CLICKED}}));
    EXPECT_EQ(run_.events[0].lparam, reinterpret_cast<LPARAM>(radio));
    EXPECT_EQ(run_.events[1].lparam, reinterpret_cast<LPARAM>(box));
    EXPECT_EQ(IsDlgButtonChecked(dialog, 250), 0u);
    EXPECT_EQ(IsDlgButtonChecked(dialog, 223), 0u);
    EXPECT_EQ(GetFocus(), box);  // a clicked button takes the focus
    SetFocus(nullptr);
  });
}

TEST_F(HeadlessControls, AutomaticButtonsCheckThemselvesWhenClicked) {
  HWND top =
      CreateWindowExA(0, "static", "", WS_POPUP, 0, 0, 200, 200, nullptr, nullptr, self(), nullptr);
  auto button = [&](DWORD style, int id) {
    return CreateWindowExA(0, "button", "", WS_CHILD | style, 0, 0, 20, 20, top,
                           reinterpret_cast<HMENU>(intptr_t{id}), self(), nullptr);
  };
  HWND box = button(BS_AUTOCHECKBOX, 1);
  HWND a = button(BS_AUTORADIOBUTTON | WS_GROUP, 2);
  HWND b = button(BS_AUTORADIOBUTTON, 3);
  HWND other_group = button(BS_AUTORADIOBUTTON | WS_GROUP, 4);
  SendMessageA(box, BM_CLICK, 0, 0);
  EXPECT_EQ(SendMessageA(box, BM_GETCHECK, 0, 0), BST_CHECKED);
  SendMessageA(box, BM_CLICK, 0, 0);
  EXPECT_EQ(SendMessageA(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  SendMessageA(other_group, BM_CLICK, 0, 0);
  SendMessageA(a, BM_CLICK, 0, 0);
  SendMessageA(b, BM_CLICK, 0, 0);
  EXPECT_EQ(SendMessageA(a, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(SendMessageA(b, BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(SendMessageA(other_group, BM_GETCHECK, 0, 0), BST_CHECKED);
  DestroyWindow(top);
}

TEST_F(HeadlessControls, ScrollBarPositionsStayInTheirRange) {
  inside([&](HWND dialog) {
    HWND bar = GetDlgItem(dialog, kAngleBar);
    int low = -1, high = -1;
    EXPECT_TRUE(GetScrollRange(bar, SB_CTL, &low, &high));
    EXPECT_EQ(low, 0);  // empty until set
    EXPECT_EQ(high, 0);
    EXPECT_EQ(SetScrollPos(bar, SB_CTL, 50, TRUE), 0);
    EXPECT_EQ(GetScrollPos(bar, SB_CTL), 0);
    EXPECT_TRUE(SetScrollRange(bar, SB_CTL, 0, 360, FALSE));
    EXPECT_EQ(SetScrollPos(bar, SB_CTL, 400, TRUE), 0);
    EXPECT_EQ(GetScrollPos(bar, SB_CTL), 360);
    EXPECT_EQ(SetScrollPos(bar, SB_CTL, -5, TRUE), 360);
    EXPECT_EQ(GetScrollPos(bar, SB_CTL), 0);
    SetScrollPos(bar, SB_CTL, 200, TRUE);
    EXPECT_TRUE(SetScrollRange(bar, SB_CTL, 5, 100, FALSE));  // the position follows the range
    EXPECT_EQ(GetScrollPos(bar, SB_CTL), 100);
    EXPECT_TRUE(GetScrollRange(bar, SB_CTL, &low, &high));
    EXPECT_EQ(low, 5);
    EXPECT_EQ(high, 100);
    auto info = headless::control_info(bar);
    EXPECT_EQ(info->scroll_min, 5);
    EXPECT_EQ(info->scroll_max, 100);
    EXPECT_EQ(info->scroll_pos, 100);
    // Only scroll bar controls have an SB_CTL bar.
    EXPECT_EQ(GetScrollPos(GetDlgItem(dialog, kAngleEdit), SB_CTL), 0);
    EXPECT_FALSE(SetScrollRange(GetDlgItem(dialog, kAngleEdit), SB_CTL, 0, 9, FALSE));
    EXPECT_FALSE(SetScrollRange(bar, SB_HORZ, 0, 9, FALSE));
    EXPECT_EQ(GetScrollPos(bar, SB_CTL), 100);
  });
}

TEST_F(HeadlessControls, TimersComeDueOnTheVirtualClockAndPeekMessageRemovesThem) {
  inside([&](HWND dialog) {
    EXPECT_EQ(SetTimer(dialog, 1, 100, nullptr), 1u);
    auto timers = headless::timers();
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].window, dialog);
    EXPECT_EQ(timers[0].period_ms, 100u);
    MSG message{};
    headless::advance_virtual_time(99);
    EXPECT_FALSE(PeekMessageA(&message, dialog, WM_TIMER, WM_TIMER, PM_REMOVE));
    headless::advance_virtual_time(1);
    EXPECT_FALSE(PeekMessageA(&message, dialog, WM_PAINT, WM_PAINT, PM_REMOVE));
    EXPECT_FALSE(PeekMessageA(&message, GetDlgItem(dialog, 100), 0, 0, PM_REMOVE));
    EXPECT_TRUE(PeekMessageA(&message, dialog, WM_TIMER, WM_TIMER, PM_NOREMOVE));
    EXPECT_TRUE(headless::timers()[0].pending);
    EXPECT_TRUE(PeekMessageA(&message, dialog, WM_TIMER, WM_TIMER, PM_REMOVE));
    EXPECT_EQ(message.hwnd, dialog);
    EXPECT_EQ(message.message, UINT{WM_TIMER});
    EXPECT_EQ(message.wParam, 1u);
    EXPECT_FALSE(PeekMessageA(&message, dialog, WM_TIMER, WM_TIMER, PM_REMOVE));
    // Three periods at once leave one message, as Windows coalesces timer messages.
    headless::advance_virtual_time(300);
    EXPECT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(SetTimer(dialog, 1, 5, nullptr), 1u);  // replaced, at the shortest period
    EXPECT_EQ(headless::timers().size(), 1u);
    EXPECT_EQ(headless::timers()[0].period_ms, UINT{USER_TIMER_MINIMUM});
    EXPECT_TRUE(KillTimer(dialog, 1));
    EXPECT_FALSE(KillTimer(dialog, 1));
    SetTimer(dialog, 7, 100, nullptr);
    headless::advance_virtual_time(100);
    EXPECT_TRUE(headless::timers()[0].pending);
  });
  for (const Event& e : run_.events) EXPECT_NE(e.message, UINT{WM_TIMER});  // no loop ran

  EXPECT_TRUE(headless::timers().empty());  // they went with the dialog
}

int g_paints = 0;
LRESULT CALLBACK counting_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_PAINT) ++g_paints;
  return DefWindowProcA(window, message, wparam, lparam);
}

TEST_F(HeadlessControls, UpdateRegionsGrowUntilBeginPaintValidatesThem) {
  WNDCLASSA c{};
  c.lpfnWndProc = counting_procedure;
  c.hInstance = self();
  c.lpszClassName = "counting";
  ASSERT_NE(RegisterClassA(&c), 0);
  HWND top = CreateWindowExA(0, "counting", "", WS_POPUP | WS_BORDER, 0, 0, 102, 82, nullptr,
                             nullptr, self(), nullptr);
  HWND child = CreateWindowExA(0, "counting", "", WS_CHILD, 0, 0, 10, 10, top,
                               reinterpret_cast<HMENU>(intptr_t{5}), self(), nullptr);
  EXPECT_FALSE(headless::control_info(top)->needs_paint);
  g_paints = 0;
  EXPECT_TRUE(UpdateWindow(top));
  EXPECT_EQ(g_paints, 0);  // nothing invalid, nothing sent
  RECT a{10, 10, 20, 20}, b{50, 5, 200, 15};
  EXPECT_TRUE(InvalidateRect(top, &a, TRUE));
  EXPECT_TRUE(InvalidateRect(top, &b, TRUE));
  EXPECT_FALSE(headless::control_info(child)->needs_paint);  // children are not included
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(top, &paint);
  EXPECT_NE(dc, nullptr);
  EXPECT_EQ(paint.rcPaint.left, 10);
  EXPECT_EQ(paint.rcPaint.top, 5);
  EXPECT_EQ(paint.rcPaint.right, 100);  // cut to the client area
  EXPECT_EQ(paint.rcPaint.bottom, 20);
  EXPECT_FALSE(headless::control_info(top)->needs_paint);
  EXPECT_TRUE(EndPaint(top, &paint));
  EXPECT_EQ(headless::display_counts().window_dcs, 0u);
  InvalidateRect(top, nullptr, FALSE);
  EXPECT_TRUE(UpdateWindow(top));
  EXPECT_EQ(g_paints, 1);
  EXPECT_FALSE(headless::control_info(top)->needs_paint);  // the default procedure validated
  MoveWindow(top, 5, 5, 102, 82, FALSE);
  EXPECT_FALSE(headless::control_info(top)->needs_paint);
  MoveWindow(top, 5, 5, 102, 82, TRUE);  // changes nothing: nothing to paint, as on Windows
  EXPECT_FALSE(headless::control_info(top)->needs_paint);
  MoveWindow(top, 5, 5, 104, 84, TRUE);
  EXPECT_TRUE(headless::control_info(top)->needs_paint);
  EXPECT_TRUE(headless::control_info(child)->needs_paint);
  EXPECT_TRUE(ValidateRect(top, nullptr));
  EXPECT_FALSE(headless::control_info(top)->needs_paint);
  DestroyWindow(top);
  UnregisterClassA("counting", self());
}

std::vector<std::pair<HWND, LPARAM>> g_capture_changes;
LRESULT CALLBACK capture_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CAPTURECHANGED) g_capture_changes.push_back({window, lparam});
  return DefWindowProcA(window, message, wparam, lparam);
}

TEST_F(HeadlessControls, CaptureMovesWithNoticeToTheWindowLosingIt) {
  WNDCLASSA c{};
  c.lpfnWndProc = capture_procedure;
  c.hInstance = self();
  c.lpszClassName = "capturing";
  ASSERT_NE(RegisterClassA(&c), 0);
  auto make = [&] {
    return CreateWindowExA(0, "capturing", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, self(),
                           nullptr);
  };
  HWND a = make(), b = make();
  g_capture_changes.clear();
  EXPECT_EQ(SetCapture(a), nullptr);
  EXPECT_EQ(GetCapture(), a);
  EXPECT_EQ(SetCapture(b), a);
  EXPECT_TRUE(ReleaseCapture());
  EXPECT_EQ(GetCapture(), nullptr);
  EXPECT_EQ(g_capture_changes,
            (std::vector<std::pair<HWND, LPARAM>>{{a, reinterpret_cast<LPARAM>(b)}, {b, 0}}));
  SetCapture(a);
  SetFocus(a);
  DestroyWindow(a);  // a window that goes takes its capture and focus with it
  EXPECT_EQ(GetCapture(), nullptr);
  EXPECT_EQ(GetFocus(), nullptr);
  DestroyWindow(b);
  UnregisterClassA("capturing", self());
}

TEST_F(HeadlessControls, ScreenAndClientCoordinatesConvertThroughTheFrames) {
  HWND top = CreateWindowExA(0, "static", "", WS_POPUP | WS_CAPTION, 10, 20, 200, 100, nullptr,
                             nullptr, self(), nullptr);
  HWND child = CreateWindowExA(0, "static", "", WS_CHILD | WS_BORDER, 5, 6, 50, 40, top,
                               reinterpret_cast<HMENU>(intptr_t{1}), self(), nullptr);
  POINT p{0, 0};
  EXPECT_TRUE(ClientToScreen(child, &p));
  EXPECT_EQ(p.x, 10 + 1 + 5 + 1);
  EXPECT_EQ(p.y, 20 + 21 + 6 + 1);
  EXPECT_TRUE(ScreenToClient(top, &p));
  EXPECT_EQ(p.x, 6);
  EXPECT_EQ(p.y, 7);
  EXPECT_EQ(GetParent(child), top);
  DestroyWindow(top);
  EXPECT_FALSE(ScreenToClient(top, &p));
}

TEST_F(HeadlessControls, WindowTextIsSetAndReadThroughMessages) {
  HWND window = CreateWindowExA(0, "static", "start", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                self(), nullptr);
  char buffer[8];
  EXPECT_EQ(GetWindowTextA(window, buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "start");
  EXPECT_TRUE(SetWindowTextA(window, "a longer text"));
  EXPECT_EQ(GetWindowTextA(window, buffer, sizeof buffer), 7);
  EXPECT_STREQ(buffer, "a longe");
  EXPECT_EQ(GetWindowTextA(window, buffer, 0), 0);
  DestroyWindow(window);
  EXPECT_FALSE(SetWindowTextA(window, "x"));
}

}  // namespace

// The scripted user that headless_win32's modal loop plays: parsing, typing with the text
// limit, focus and keys, clicks, scroll actions, timer ticks, the mouse with capture,
// expectations, painting before each step and cancelling when the script runs out.
#include "module/ui/dialog_ids.h"
#include "tests/headless/control_dialog.h"

namespace {

using control_dialog::Event;

using dialog_id::kFade, dialog_id::kPreview, dialog_id::kRestore;
constexpr int kAngleEdit = 153, kRegionsEdit = 115;
constexpr int kAngleBar = 154;

class HeadlessScript : public control_dialog::Fixture {};

TEST_F(HeadlessScript, MalformedLinesAreReportedWithTheirNumbersAndLeftOut) {
  EXPECT_FALSE(
      headless::set_ui_script("# a comment\n"
                              "\n"
                              "   # an indented comment\r\n"
                              "click 102\r\n"
                              "jump 3\n"
                              "key space\n"
                              "scroll 154 sideways\n"
                              "press 100 1\n"
                              "tick many\n"
                              "type\n"
                              "wait-ready\n"
                              "focus 70000\n"));
  EXPECT_EQ(
      headless::ui_script_errors(),
      (std::vector<std::string>{
          "line 5: unknown step 'jump'", "line 6: key takes enter, esc or tab",
          "line 7: unknown scroll code 'sideways'",
          "line 8: press needs a control id and two coordinates", "line 9: tick needs a count",
          "line 10: type needs a control id", "line 12: focus needs one control id"}));
  EXPECT_EQ(headless::ui_script_steps_left(), 2u);  // click and wait-ready
  EXPECT_TRUE(headless::set_ui_script("key esc\n"));
  EXPECT_TRUE(headless::ui_script_errors().empty());
  EXPECT_EQ(headless::ui_script_steps_left(), 1u);
}

TEST_F(HeadlessScript, TheDialogIsCancelledWhenTheStepsRunOut) {
  EXPECT_EQ(play("wait-ready\nwait-ready\n"), IDCANCEL);
  EXPECT_TRUE(headless::last_dialog_ran_out_of_script());
  EXPECT_EQ(headless::ui_script_steps_left(), 0u);
  EXPECT_TRUE(run_.events.empty());  // cancelled by EndDialog, not by a command
}

TEST_F(HeadlessScript, ADialogEndedInWmInitDialogLeavesTheStepsForTheNextOne) {
  ASSERT_TRUE(headless::set_ui_script("key esc\n"));
  run_.on_init = [](HWND dialog) { EndDialog(dialog, 5); };
  EXPECT_EQ(open(), 5);
  EXPECT_EQ(headless::ui_script_steps_left(), 1u);
  EXPECT_EQ(run_.view_paints, 0);  // never shown, never painted
  run_.on_init = nullptr;
  EXPECT_EQ(open(), IDCANCEL);
  EXPECT_FALSE(headless::last_dialog_ran_out_of_script());
  EXPECT_EQ(commands_of(IDCANCEL).size(), 1u);
}

TEST_F(HeadlessScript, TypingFocusesTheFieldAndReplacesItsTextACharacterAtATime) {
  run_.on_init = [](HWND dialog) {
    SetDlgItemTextA(dialog, kRegionsEdit, "17");
    SendDlgItemMessageA(dialog, kRegionsEdit, EM_LIMITTEXT, 2, 0);
  };
  std::string text_at_esc;
  run_.on_command = [&](HWND dialog, int id, int) {
    if (id != IDCANCEL) return;
    char buffer[16];
    GetDlgItemTextA(dialog, kRegionsEdit, buffer, sizeof buffer);
    text_at_esc = buffer;
  };
  EXPECT_EQ(play("focus 153\n"
                 "type 115 987\n"
                 "key esc\n"),
            IDCANCEL);
  EXPECT_EQ(text_at_esc, "98");
  std::vector<Event> expected = {
      {WM_COMMAND, kRegionsEdit, EN_UPDATE},   {WM_COMMAND, kRegionsEdit, EN_CHANGE},  // init
      {WM_COMMAND, kAngleEdit, EN_SETFOCUS},   {WM_COMMAND, kAngleEdit, EN_KILLFOCUS},
      {WM_COMMAND, kRegionsEdit, EN_SETFOCUS}, {WM_COMMAND, kRegionsEdit, EN_UPDATE},
      {WM_COMMAND, kRegionsEdit, EN_CHANGE},   {WM_COMMAND, kRegionsEdit, EN_UPDATE},
      {WM_COMMAND, kRegionsEdit, EN_CHANGE},   {WM_COMMAND, kRegionsEdit, EN_MAXTEXT},
      {WM_COMMAND, IDCANCEL, BN_CLICKED},      {WM_COMMAND, kRegionsEdit, EN_KILLFOCUS}};
  EXPECT_EQ(run_.events, expected);
  EXPECT_TRUE(headless::ui_script_failures().empty());
}

TEST_F(HeadlessScript, TypingNothingEmptiesTheFieldAndSpacesAfterTheFirstAreTyped) {
  std::vector<std::string> texts;
  run_.on_init = [](HWND dialog) { SetDlgItemTextA(dialog, kAngleEdit, "45"); };
  run_.on_command = [&](HWND dialog, int id, int code) {
    if (id != kAngleEdit || code != EN_CHANGE) return;
    char buffer[16];
    GetDlgItemTextA(dialog, kAngleEdit, buffer, sizeof buffer);
    texts.push_back(buffer);
  };
  EXPECT_EQ(play("type 153\n"
                 "type 153  7\n"
                 "key esc\n"),
            IDCANCEL);
  EXPECT_EQ(texts, (std::vector<std::string>{"45", "", " ", " 7"}));
}

TEST_F(HeadlessScript, EnterGivesTheDefaultPushButtonUnlessAnotherPushButtonHasTheFocus) {
  HWND preview = nullptr;
  run_.on_init = [&](HWND dialog) { preview = GetDlgItem(dialog, kPreview); };
  EXPECT_EQ(play("focus 153\n"
                 "key enter\n"
                 "focus 223\n"
                 "key enter\n"
                 "focus 103\n"
                 "key enter\n"
                 "key esc\n"),
            IDCANCEL);
  auto previews = commands_of(kPreview);
  ASSERT_EQ(previews.size(), 2u);
  EXPECT_EQ(previews[0].code, BN_CLICKED);
  EXPECT_EQ(previews[0].lparam, reinterpret_cast<LPARAM>(preview));
  EXPECT_EQ(commands_of(kRestore).size(), 1u);
  EXPECT_EQ(commands_of(IDCANCEL).size(), 1u);
  EXPECT_EQ(commands_of(IDOK).size(), 0u);
}

TEST_F(HeadlessScript, TabVisitsTheTabStopsInTemplateOrderSelectingAnEditsText) {
  DWORD selection_end = 0;
  HWND focus_at_esc = nullptr, preview = nullptr;
  run_.on_init = [&](HWND dialog) {
    preview = GetDlgItem(dialog, kPreview);
    SetDlgItemTextA(dialog, kAngleEdit, "360");
  };
  run_.on_command = [&](HWND dialog, int id, int code) {
    if (id == kAngleEdit && code == EN_SETFOCUS)
      SendDlgItemMessageA(dialog, kAngleEdit, EM_GETSEL, 0,
                          reinterpret_cast<LPARAM>(&selection_end));
    if (id == IDCANCEL) focus_at_esc = GetFocus();
  };
  std::string script;
  for (int i = 0; i < 9; ++i) script += "key tab\n";
  EXPECT_EQ(play(script + "key esc\n"), IDCANCEL);
  std::vector<int> edits_focused;
  for (const Event& e : run_.events)
    if (e.message == WM_COMMAND && e.code == EN_SETFOCUS) edits_focused.push_back(e.id);
  EXPECT_EQ(edits_focused, (std::vector<int>{153, 115, 228, 117}));
  EXPECT_EQ(selection_end, 3u);      // the whole text was selected when the focus arrived
  EXPECT_EQ(focus_at_esc, preview);  // nine tab stops: round to where it started
}

TEST_F(HeadlessScript, TabFromTheLastTabStopWrapsToTheFirst) {
  HWND focus_at_esc = nullptr, preview = nullptr;
  run_.on_init = [&](HWND dialog) { preview = GetDlgItem(dialog, kPreview); };
  run_.on_command = [&](HWND, int id, int) {
    if (id == IDCANCEL) focus_at_esc = GetFocus();
  };
  EXPECT_EQ(play("focus 117\nkey tab\nkey esc\n"), IDCANCEL);
  EXPECT_EQ(focus_at_esc, preview);
}

TEST_F(HeadlessScript, ClickingSendsBnClickedWithTheButtonAndMovesTheFocusToIt) {
  HWND fade = nullptr, focus_at_click = nullptr;
  run_.on_init = [&](HWND dialog) { fade = GetDlgItem(dialog, kFade); };
  run_.on_command = [&](HWND, int id, int) {
    if (id == kFade) focus_at_click = GetFocus();
  };
  EXPECT_EQ(play("focus 153\nclick 223\nclick 250\nclick 1\n"), IDOK);
  auto clicks = commands_of(kFade);
  ASSERT_EQ(clicks.size(), 1u);
  EXPECT_EQ(clicks[0].code, BN_CLICKED);
  EXPECT_EQ(clicks[0].lparam, reinterpret_cast<LPARAM>(fade));
  EXPECT_EQ(focus_at_click, fade);
  // The angle field lost the focus to the click.
  EXPECT_EQ(commands_of(kAngleEdit).back().code, EN_KILLFOCUS);
  EXPECT_EQ(commands_of(250).size(), 1u);
  EXPECT_FALSE(headless::control_info(fade).has_value());  // gone with the dialog
}

TEST_F(HeadlessScript, ScrollStepsSendWmHScrollToTheParentWithCodeAndPosition) {
  HWND bar = nullptr;
  run_.on_init = [&](HWND dialog) { bar = GetDlgItem(dialog, kAngleBar); };
  EXPECT_EQ(play("scroll 154 pageright\n"
                 "scroll 154 SB_THUMBTRACK 123\n"
                 "scroll 154 8\n"
                 "key esc\n"),
            IDCANCEL);
  std::vector<Event> scrolls;
  for (const Event& e : run_.events)
    if (e.message == WM_HSCROLL) scrolls.push_back(e);
  ASSERT_EQ(scrolls, (std::vector<Event>{{WM_HSCROLL, SB_PAGERIGHT, 0},
                                         {WM_HSCROLL, SB_THUMBTRACK, 123},
                                         {WM_HSCROLL, SB_ENDSCROLL, 0}}));
  EXPECT_EQ(scrolls[0].lparam, reinterpret_cast<LPARAM>(bar));
}

TEST_F(HeadlessScript, StepsThatCannotBePlayedAreRecordedAsFailures) {
  EXPECT_EQ(play("click 999\n"
                 "type 154 12\n"
                 "scroll 153 1\n"
                 "click 152\n"
                 "snapshot dialog out.png\n"
                 "key esc\n"),
            IDCANCEL);
  EXPECT_EQ(headless::ui_script_failures(),
            (std::vector<std::string>{
                "line 1: no control 999", "line 2: control 154 is no edit control",
                "line 3: control 153 is no scroll bar", "line 4: control 152 cannot be clicked",
                "line 5: no picture writer to take the snapshot out.png"}));
}

TEST_F(HeadlessScript, SnapshotsHandTheComposedPictureToTheWriter) {
  struct Shot {
    std::string file;
    headless::Picture picture;
  };
  std::vector<Shot> shots;
  headless::set_picture_writer([&](const std::string& file, const headless::Picture& picture) {
    shots.push_back({file, picture});
    return file == "full.png" ? std::string("full.png: the disk is full") : std::string();
  });
  POINT view_at{0, 0};  // the big view's client origin in the dialog's client area
  RECT dialog_client{};
  run_.on_init = [&](HWND dialog) {
    HWND view = GetDlgItem(dialog, 100);
    ClientToScreen(view, &view_at);
    ScreenToClient(dialog, &view_at);
    GetClientRect(dialog, &dialog_client);
    HDC dc = GetDC(view);
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    RECT spot{3, 4, 5, 6};
    FillRect(dc, &spot, red);
    DeleteObject(red);
    ReleaseDC(view, dc);
  };
  EXPECT_EQ(play("snapshot dialog  my dialog.png  \n"
                 "snapshot 100 view.png\n"
                 "snapshot 100 full.png\n"
                 "key esc\n"),
            IDCANCEL);
  headless::set_picture_writer(nullptr);
  EXPECT_EQ(headless::ui_script_failures(),
            (std::vector<std::string>{"line 3: full.png: the disk is full"}));
  ASSERT_EQ(shots.size(), 3u);
  EXPECT_EQ(shots[0].file, " my dialog.png");  // all after the one blank, less trailing ones
  EXPECT_EQ(shots[1].file, "view.png");
  auto rgb = [](const headless::Picture& p, LONG x, LONG y) {
    const unsigned char* at =
        p.rgb.data() + (std::size_t(y) * std::size_t(p.width) + size_t(x)) * 3;
    return RGB(at[0], at[1], at[2]);
  };
  const headless::Picture& whole = shots[0].picture;
  const headless::Picture& view = shots[1].picture;
  ASSERT_EQ(whole.width, dialog_client.right);
  ASSERT_EQ(whole.height, dialog_client.bottom);
  ASSERT_EQ(whole.rgb.size(), std::size_t(whole.width) * std::size_t(whole.height) * 3);
  ASSERT_EQ(view.width, 268);
  ASSERT_EQ(view.height, 268);
  EXPECT_EQ(rgb(view, 3, 4), RGB(255, 0, 0));
  EXPECT_EQ(rgb(view, 4, 5), RGB(255, 0, 0));
  EXPECT_EQ(rgb(view, 2, 4), RGB(0, 0, 0));
  EXPECT_EQ(rgb(view, 5, 4), RGB(0, 0, 0));
  // In the dialog's picture the view's pixels sit at its client origin, inside its border.
  EXPECT_EQ(rgb(whole, view_at.x + 3, view_at.y + 4), RGB(255, 0, 0));
  EXPECT_EQ(rgb(whole, view_at.x + 2, view_at.y + 4), RGB(0, 0, 0));
  EXPECT_EQ(rgb(whole, view_at.x - 1, view_at.y + 4), RGB(128, 128, 128));
  EXPECT_EQ(rgb(whole, view_at.x + 268, view_at.y + 4), RGB(128, 128, 128));
}

TEST_F(HeadlessScript, ExpectBeepsFailsWhenTheCountDiffers) {
  run_.on_command = [](HWND, int id, int) {
    if (id == kPreview) MessageBeep(0);
  };
  EXPECT_EQ(play("expect-beeps 0\n"
                 "click 102\n"
                 "expect-beeps 1\n"
                 "expect-beeps 2\n"
                 "key esc\n"),
            IDCANCEL);
  EXPECT_EQ(headless::ui_script_failures(),
            (std::vector<std::string>{"line 4: expected 2 beeps, heard 1"}));
}

TEST_F(HeadlessScript, ExpectTextComparesTheWholeLabel) {
  EXPECT_EQ(play("expect-text 102 预览\n"
                 "expect-text 102 预\n"
                 "expect-text 103 还原 \n"
                 "key esc\n"),
            IDCANCEL);
  EXPECT_EQ(headless::ui_script_failures(),
            (std::vector<std::string>{"line 2: control 102 shows '预览', not '预'",
                                      "line 3: control 103 shows '还原', not '还原 '"}));
}

TEST_F(HeadlessScript, TicksDeliverWmTimerOnlyAsTheClockMoves) {
  run_.on_init = [](HWND dialog) { SetTimer(dialog, 1, 100, nullptr); };
  unsigned long long start = headless::virtual_time_ms();
  EXPECT_EQ(play("wait-ready\nclick 102\nkey esc\n"), IDCANCEL);
  for (const Event& e : run_.events) EXPECT_NE(e.message, UINT{WM_TIMER});
  EXPECT_EQ(headless::virtual_time_ms(), start);

  run_.events.clear();
  EXPECT_EQ(play("tick 3\nkey esc\n"), IDCANCEL);
  EXPECT_EQ(run_.events, (std::vector<Event>{{WM_TIMER, 1, 0},
                                             {WM_TIMER, 1, 0},
                                             {WM_TIMER, 1, 0},
                                             {WM_COMMAND, IDCANCEL, BN_CLICKED}}));
  EXPECT_EQ(headless::virtual_time_ms(), start + 300);
}

TEST_F(HeadlessScript, PeekMessageInsideWmTimerDropsTheTimerMessagesStillQueued) {
  run_.on_init = [](HWND dialog) {
    SetTimer(dialog, 1, 100, nullptr);
    SetTimer(dialog, 2, 100, nullptr);
  };
  bool drain = false;
  run_.on_timer = [&](HWND dialog, UINT_PTR) {
    MSG message;
    while (drain && PeekMessageA(&message, dialog, WM_TIMER, WM_TIMER, PM_REMOVE)) {
    }
  };
  EXPECT_EQ(play("tick 2\nkey esc\n"), IDCANCEL);
  EXPECT_EQ(run_.events.size(), 5u);  // both timers, twice
  run_.events.clear();
  drain = true;
  EXPECT_EQ(play("tick 2\nkey esc\n"), IDCANCEL);
  EXPECT_EQ(
      run_.events,
      (std::vector<Event>{{WM_TIMER, 1, 0}, {WM_TIMER, 1, 0}, {WM_COMMAND, IDCANCEL, BN_CLICKED}}));
}

TEST_F(HeadlessScript, TicksStopWhenTheDialogEnds) {
  run_.on_init = [](HWND dialog) { SetTimer(dialog, 1, 100, nullptr); };
  run_.on_timer = [](HWND dialog, UINT_PTR) { EndDialog(dialog, 44); };
  EXPECT_EQ(play("tick 5\n"), 44);
  EXPECT_EQ(run_.events.size(), 1u);
}

TEST_F(HeadlessScript, TheMouseGoesToTheCapturingViewInItsOwnCoordinates) {
  HWND big = nullptr, small = nullptr;
  run_.on_init = [&](HWND dialog) {
    big = GetDlgItem(dialog, 100);
    small = GetDlgItem(dialog, 101);
  };
  EXPECT_EQ(play("press 100 10 20\n"
                 "move 101 5 5\n"
                 "release 101 6 7\n"
                 "move 101 1 2\n"
                 "key esc\n"),
            IDCANCEL);
  // Control 100's client area starts at (9, 9) of the dialog's, control 101's at (286, 9).
  ASSERT_EQ(run_.view_events.size(), 4u);
  auto expect = [&](std::size_t i, HWND window, UINT message, WPARAM wparam, int x, int y) {
    SCOPED_TRACE(i);
    const auto& e = run_.view_events[i];
    EXPECT_EQ(e.window, window);
    EXPECT_EQ(e.message, message);
    EXPECT_EQ(e.wparam, wparam);
    EXPECT_EQ(e.x, x);
    EXPECT_EQ(e.y, y);
  };
  expect(0, big, WM_LBUTTONDOWN, MK_LBUTTON, 10, 20);
  expect(1, big, WM_MOUSEMOVE, MK_LBUTTON, 282, 5);
  expect(2, big, WM_LBUTTONUP, 0, 283, 7);
  expect(3, small, WM_MOUSEMOVE, 0, 1, 2);  // the capture went with the release
}

TEST_F(HeadlessScript, CoordinatesOutsideTheViewArriveNegative) {
  EXPECT_EQ(play("press 100 5 5\nmove 100 -4 -300\nrelease 100 0 0\n"), IDCANCEL);
  ASSERT_EQ(run_.view_events.size(), 3u);
  EXPECT_EQ(run_.view_events[1].x, -4);
  EXPECT_EQ(run_.view_events[1].y, -300);
}

TEST_F(HeadlessScript, InvalidWindowsArePaintedBeforeEachStep) {
  std::vector<int> paints_at_command;
  run_.on_command = [&](HWND dialog, int id, int) {
    paints_at_command.push_back(run_.view_paints);
    if (id == kPreview) InvalidateRect(GetDlgItem(dialog, 100), nullptr, FALSE);
  };
  EXPECT_EQ(play("click 103\nclick 102\nclick 103\nkey esc\n"), IDCANCEL);
  // Shown: both views painted once; then the big view again after Preview invalidated it.
  EXPECT_EQ(paints_at_command, (std::vector<int>{2, 2, 3, 3}));
}

}  // namespace

// The number fields and their scroll bars on the real dialog template, inside
// WM_INITDIALOG so the dialog never shows: ranges, text limits, the page steps and clamps of
// the scroll codes, invalid text, and rejecting a field.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "module/host/host.h"
#include "module/module_state.h"
#include "module/ui/ui.h"
#include "tests/support/template_dialog.h"
#ifndef _WIN32
#include "headless_win32/headless.h"
#include "module/ui/dialog_ids.h"
#endif

namespace {

using dialog_id::kAngle, dialog_id::kIntensity, dialog_id::kRegions, dialog_id::kSpacing;
using dialog_id::kAngleBar, dialog_id::kIntensityBar, dialog_id::kRegionsBar,
    dialog_id::kSpacingBar;

// What the dialog's field handler does: read the field into its setting on every
// notification. The test counts the notifications.
int16_t setting[4];
int notifications = 0;
int16_t& setting_of(int edit) {
  return setting[edit == kRegions ? 0 : edit == kIntensity ? 1 : edit == kAngle ? 2 : 3];
}

INT_PTR field_command(HWND dialog, WPARAM wparam) {
  int id = LOWORD(wparam);
  struct Range {
    int edit, bar;
  } fields[] = {{kRegions, kRegionsBar},
                {kIntensity, kIntensityBar},
                {kAngle, kAngleBar},
                {kSpacing, kSpacingBar}};
  for (const Range& f : fields) {
    if (f.edit != id) continue;
    int min = 0, max = 0;
    GetScrollRange(GetDlgItem(dialog, f.bar), SB_CTL, &min, &max);
    setting_of(id) = read_edit_value(id, int16_t(min), int16_t(max));
    set_scroll_pos_if_valid(GetDlgItem(dialog, f.bar), setting_of(id));
    ++notifications;
    return TRUE;
  }
  return FALSE;
}

class Fields : public ::testing::Test {
 protected:
  void SetUp() override {
    module_state = ModuleState{};
    module_state.host.module_instance = GetModuleHandleA(nullptr);
  }
  void TearDown() override { test_support::unregister_view_classes(); }
  // The four fields set up as the dialog does, then the checks.
  void run(std::function<void(HWND)> checks) {
    auto body = [&checks](HWND dialog) {
      init_control(8, 1, 20, kRegions, kRegionsBar);
      init_control(100, 0, 100, kIntensity, kIntensityBar);
      init_control(50, 0, 360, kAngle, kAngleBar);
      init_control(50, 5, 100, kSpacing, kSpacingBar);
      checks(dialog);
    };
    EXPECT_EQ(test_support::run_in_dialog(body, field_command), 1);
  }
  static std::string text(HWND dialog, int id) {
    char buffer[16] = {};
    GetDlgItemTextA(dialog, id, buffer, sizeof buffer);
    return buffer;
  }
  static int position(HWND dialog, int bar) {
    return GetScrollPos(GetDlgItem(dialog, bar), SB_CTL);
  }
};

TEST_F(Fields, InitialValuesRangesAndTextLimits) {
  run([](HWND dialog) {
    EXPECT_EQ(text(dialog, kRegions), "8");
    EXPECT_EQ(text(dialog, kAngle), "50");
    EXPECT_EQ(position(dialog, kIntensityBar), 100);
    EXPECT_EQ(setting_of(kSpacing), 50);  // read back through the notifications
    int min = 0, max = 0;
    GetScrollRange(GetDlgItem(dialog, kAngleBar), SB_CTL, &min, &max);
    EXPECT_EQ(min, 0);
    EXPECT_EQ(max, 360);
    // Text limits: typing stops at 2 characters for regions and 3 for the others.
    EXPECT_EQ(SendDlgItemMessageA(dialog, kRegions, EM_GETLIMITTEXT, 0, 0), 2);
    EXPECT_EQ(SendDlgItemMessageA(dialog, kAngle, EM_GETLIMITTEXT, 0, 0), 3);
  });
}

TEST_F(Fields, PageStepsGoToTheNextMultipleAndClampAtTheEnds) {
  run([](HWND dialog) {
    set_scroll_value(kAngleBar, 355);
    handle_scroll(kAngleBar, SB_PAGERIGHT, 0);
    EXPECT_EQ(position(dialog, kAngleBar), 360);
    EXPECT_EQ(text(dialog, kAngle), "360");
    int before = notifications;
    handle_scroll(kAngleBar, SB_PAGERIGHT, 0);  // already at the end: nothing is written
    EXPECT_EQ(notifications, before);
    set_scroll_value(kRegionsBar, 5);
    handle_scroll(kRegionsBar, SB_PAGELEFT, 0);
    EXPECT_EQ(position(dialog, kRegionsBar), 4);
    handle_scroll(kRegionsBar, SB_PAGELEFT, 0);
    EXPECT_EQ(position(dialog, kRegionsBar), 2);
    set_scroll_value(kRegionsBar, 1);
    before = notifications;
    handle_scroll(kRegionsBar, SB_PAGELEFT, 0);  // computes 0, clamps back to 1
    EXPECT_EQ(position(dialog, kRegionsBar), 1);
    EXPECT_EQ(notifications, before);
    set_scroll_value(kIntensityBar, 0);
    handle_scroll(kIntensityBar, SB_PAGELEFT, 0);  // (-1 / 10) * 10 = 0
    EXPECT_EQ(position(dialog, kIntensityBar), 0);
    handle_scroll(kSpacingBar, SB_RIGHT, 0);
    EXPECT_EQ(setting_of(kSpacing), 100);
    handle_scroll(kSpacingBar, SB_LEFT, 0);
    EXPECT_EQ(setting_of(kSpacing), 5);
    handle_scroll(kSpacingBar, SB_THUMBTRACK, 77);
    EXPECT_EQ(setting_of(kSpacing), 77);
    handle_scroll(kSpacingBar, SB_LINERIGHT, 0);
    EXPECT_EQ(setting_of(kSpacing), 78);
    handle_scroll(kSpacingBar, 8, 0);  // SB_ENDSCROLL changes nothing
    EXPECT_EQ(setting_of(kSpacing), 78);
  });
}

TEST_F(Fields, InvalidTextMakesTheSettingMinusOneAndLeavesTheBar) {
  run([](HWND dialog) {
    const struct {
      int edit, bar;
      const char* typed;
      int bar_before;
    } cases[] = {{kRegions, kRegionsBar, "0", 8},  {kAngle, kAngleBar, "361", 50},
                 {kSpacing, kSpacingBar, "4", 50}, {kIntensity, kIntensityBar, "101", 100},
                 {kAngle, kAngleBar, "", 50},      {kAngle, kAngleBar, "-3", 50}};
    for (const auto& c : cases) {
      SCOPED_TRACE(c.typed);
      SetDlgItemTextA(dialog, c.edit, c.typed);
      EXPECT_EQ(setting_of(c.edit), -1);
      EXPECT_EQ(position(dialog, c.bar), c.bar_before);
    }
    // A scroll action starts from the bar's last valid position and mends the field.
    handle_scroll(kAngleBar, SB_LINERIGHT, 0);
    EXPECT_EQ(setting_of(kAngle), 51);
    EXPECT_EQ(text(dialog, kAngle), "51");
  });
}

TEST_F(Fields, RejectingAFieldFocusesItWithItsWholeTextSelected) {
  run([](HWND dialog) {
    SetDlgItemTextA(dialog, kSpacing, "1234");
    EXPECT_EQ(reject_edit(kSpacing), 0);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kSpacing));
    DWORD start = 0, end = 0;
    SendDlgItemMessageA(dialog, kSpacing, EM_GETSEL, WPARAM(&start), LPARAM(&end));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 4u);
  });
}

}  // namespace

// The parameter dialog in whole runs through the host library, played by the headless
// scripted user: what OK and Cancel store, rejected fields, Enter, Preview and Restore, the
// outline timer, and thousands of random users that must never crash it or leak.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "headless_win32/headless.h"
#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"
#include "module/ui/dialog_ids.h"
#include "tests/protocol/protocol_support.h"
#include "tests/support/host_window.h"

namespace pt = protocol_test;
namespace id = dialog_id;
using plugin_host::Image;

namespace {

constexpr int kBig = id::kBigView, kSmall = id::kSmallView;
using id::kAngle, id::kIntensity, id::kRegions, id::kSpacing;

ParameterRecord stored_record(const plugin_host::Module& module) {
  ParameterRecord record{};
  auto bytes = module.parameters();
  if (bytes && bytes->size() >= sizeof record) std::memcpy(&record, bytes->data(), sizeof record);
  return record;
}

struct DialogRun {
  plugin_host::RunResult run;
  Image image;
  ParameterRecord stored{};
  std::vector<std::string> failures;
  bool ran_out = false;
};

// The image and host of a dialog run.
struct RunSetup {
  const std::vector<uint8_t>* selection = nullptr;
  int32_t width = 200, height = 120, planes = 3;
  int32_t max_space = 0;   // 0: the host's default, the whole image in memory
  bool host_draws = true;  // the host offers displayPixels
};

// One run that shows the dialog to the scripted user; `at_rest` sees the dialog each time it
// is at rest, with the script line played last.
DialogRun play(const std::string& script, std::function<void(HWND, int)> at_rest = nullptr,
               const RunSetup& setup = RunSetup{}) {
  DialogRun out;
  out.image = pt::pattern_image(setup.width, setup.height, setup.planes, 5);
  plugin_host::Module& module = pt::linked_module();
  ParameterRecord start = pt::settings(8, 100, 50, 50, 0, 0, 0, 0);
  start.show_dialog = 1;
  module.set_parameters(pt::record_bytes(start));
  headless::clear_records();
  EXPECT_TRUE(headless::set_ui_script(script)) << headless::ui_script_errors().front();
  headless::set_ui_observer(std::move(at_rest));
  plugin_host::RunOptions options = pt::options_for(setup.planes);
  options.selection = setup.selection;
  options.ask_for_dialog = true;
  options.offer_display_pixels = setup.host_draws;
  if (setup.max_space > 0) options.max_space = setup.max_space;
  out.run = module.run(out.image, options);
  headless::set_ui_observer(nullptr);
  out.stored = stored_record(module);
  out.failures = headless::ui_script_failures();
  out.ran_out = headless::last_dialog_ran_out_of_script();
  return out;
}

// The same image filtered with a stored record and no dialog.
Image filtered_without_dialog(ParameterRecord record) {
  Image image = pt::pattern_image(200, 120, 3, 5);
  record.show_dialog = 0;
  plugin_host::Module& module = pt::linked_module();
  module.set_parameters(pt::record_bytes(record));
  plugin_host::RunResult run = module.run(image, pt::options_for(3));
  EXPECT_EQ(run.result, 0);
  return image;
}

std::string field_text(HWND dialog, int id) {
  return headless::control_info(GetDlgItem(dialog, id))->text;
}

TEST(Dialog, OkStoresEverySettingAndTheCentreAndTheImageIsFilteredWithThem) {
  int16_t center_h = 0, center_v = 0;
  DialogRun r = play(
      "wait-ready\ntype 115 5\ntype 117 70\ntype 153 90\ntype 228 30\nclick 251\nclick 223\n"
      "press 100 40 30\nrelease 100 40 30\nclick 1\n",
      [&](HWND, int) {
        center_h = preview_to_image(module_state.preview.center_x);
        center_v = preview_to_image(module_state.preview.center_y);
      });
  ASSERT_EQ(r.run.result, 0);
  EXPECT_TRUE(r.failures.empty());
  const ParameterRecord& s = r.stored;
  EXPECT_EQ(s.regions, 5);
  EXPECT_EQ(s.intensity, 70);
  EXPECT_EQ(s.angle, 90);
  EXPECT_EQ(s.spacing, 30);
  EXPECT_EQ(s.mode, 1);
  EXPECT_EQ(s.fade, 1);
  EXPECT_EQ(s.show_dialog, 0);
  // 200 x 120 gives a 268 x 160 preview: preview 40, 30 is image 30, 22 (to nearest).
  EXPECT_EQ(module_state.preview.preview_width, 268);
  EXPECT_EQ(s.center_h, 30);
  EXPECT_EQ(s.center_v, 22);
  EXPECT_EQ(center_h, 30);
  EXPECT_EQ(center_v, 22);
  // The next run has show_dialog 0: it filters without a dialog (an unanswered one would
  // be cancelled), and gives the same image.
  Image again = filtered_without_dialog(s);
  EXPECT_EQ(again.pixels, r.image.pixels);
  EXPECT_NE(again.pixels, pt::pattern_image(200, 120, 3, 5).pixels);
}

TEST(Dialog, CancelEscAndARunOutScriptStoreNothingButClearTheDialogFlag) {
  for (const char* script : {"type 153 90\nclick 2\n", "type 153 90\nkey esc\n", "type 153 90\n"}) {
    DialogRun r = play(script);
    EXPECT_EQ(r.run.result, 1) << script;
    EXPECT_EQ(r.stored.angle, 50) << script;
    EXPECT_EQ(r.stored.show_dialog, 0) << script;
    EXPECT_EQ(r.image.pixels, pt::pattern_image(200, 120, 3, 5).pixels) << script;
    EXPECT_EQ(headless::display_counts().windows, 1u);  // only the host's window is left
  }
}

TEST(Dialog, OkWithAnEmptyAngleBeepsOnceAndPutsTheUserIntoTheField) {
  int checked = 0;
  DialogRun r = play(
      "type 153 \nclick 1\nexpect-beeps 1\ntype 153 90\nclick 1\n", [&](HWND dialog, int line) {
        if (line == 1) {
          // No guide lines in either view, the marker in both.
          EXPECT_EQ(module_state.settings.angle, -1);
          HWND small = GetDlgItem(dialog, kSmall);
          int black = 0;
          for (int y = 0; y < 80; ++y)
            for (int x = 0; x < 134; ++x) black += headless::window_pixel(small, x, y) == 0;
          EXPECT_EQ(black, 12);  // the marker's cross
          // The big view shows the plain picture outside the marker.
          const ModuleState& st = module_state;
          HWND big = GetDlgItem(dialog, kBig);
          int wrong = 0;
          for (int y = 0; y < st.preview.preview_height; ++y)
            for (int x = 0; x < st.preview.preview_width; ++x) {
              if (std::abs(x - st.preview.center_x) <= 4 && std::abs(y - st.preview.center_y) <= 4)
                continue;
              const uint8_t* p =
                  st.plan.image_base +
                  ((int64_t(y) * st.preview.preview_step + 32768) >> 16) * st.plan.work_row_bytes +
                  ((int64_t(x) * st.preview.preview_step + 32768) >> 16) * 3;
              wrong += headless::window_pixel(big, x, y) != RGB(p[0], p[1], p[2]);
            }
          EXPECT_EQ(wrong, 0);
          EXPECT_EQ(headless::control_info(GetDlgItem(dialog, id::kAngleBar))->scroll_pos, 50);
        }
        if (line != 2) return;
        ++checked;
        HWND angle = GetDlgItem(dialog, kAngle);
        EXPECT_EQ(GetFocus(), angle);
        EXPECT_EQ(headless::beeps().size(), 1u);
        auto info = headless::control_info(angle);
        EXPECT_EQ(info->text, "");
        EXPECT_EQ(info->selection_start, 0u);
        EXPECT_EQ(info->selection_end, 0u);
      });
  EXPECT_EQ(checked, 1);  // the dialog stayed open after the rejected OK
  EXPECT_TRUE(r.failures.empty()) << r.failures.front();
  EXPECT_EQ(r.run.result, 0);
  EXPECT_EQ(r.stored.angle, 90);
}

TEST(Dialog, TwoInvalidFieldsBeepTwiceAndTheFocusEndsInTheLater) {
  DialogRun r = play(
      "type 115 0\ntype 228 4\nclick 102\nexpect-beeps 2\nclick 2\n", [&](HWND dialog, int line) {
        if (line != 3) return;
        EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kSpacing));
        auto spacing = headless::control_info(GetDlgItem(dialog, kSpacing));
        EXPECT_EQ(spacing->selection_start, 0u);
        EXPECT_EQ(spacing->selection_end, 1u);          // "4" selected
        EXPECT_EQ(module_state.dialog.show_result, 0);  // Preview did nothing else
        EXPECT_EQ(module_state.settings.regions, -1);
        EXPECT_EQ(headless::control_info(GetDlgItem(dialog, id::kRegionsBar))->scroll_pos, 8);
        EXPECT_EQ(headless::control_info(GetDlgItem(dialog, id::kSpacingBar))->scroll_pos, 50);
      });
  EXPECT_TRUE(r.failures.empty()) << r.failures.front();
  EXPECT_EQ(r.run.result, 1);
}

TEST(Dialog, EnterGivesPreviewAndRestoreGoesBackOnlyAfterIt) {
  std::vector<COLORREF> plain, filtered;
  auto picture = [](HWND dialog) {
    std::vector<COLORREF> out;
    HWND big = GetDlgItem(dialog, kBig);
    for (int y = 0; y < 160; y += 3)
      for (int x = 0; x < 268; x += 3) out.push_back(headless::window_pixel(big, x, y));
    return out;
  };
  DialogRun r = play("click 103\nfocus 153\nkey enter\nclick 102\nclick 103\nclick 2\n",
                     [&](HWND dialog, int line) {
                       ModuleState& s = module_state;
                       auto stats = headless::draw_stats();
                       switch (line) {
                         case 0:
                           plain = picture(dialog);
                           break;
                         case 1:  // Restore before any Preview: nothing at all
                           EXPECT_EQ(stats.dib_calls, 0u);
                           EXPECT_EQ(s.dialog.show_result, 0);
                           break;
                         case 3:  // Enter in a field is Preview, and the dialog stays
                           EXPECT_EQ(s.dialog.show_result, 1);
                           filtered = picture(dialog);
                           EXPECT_NE(filtered, plain);
                           EXPECT_EQ(stats.dib_calls, 40u);  // 160 rows in bands of 4
                           break;
                         case 4:  // Preview again filters again
                           EXPECT_EQ(stats.dib_calls, 40u);
                           EXPECT_EQ(picture(dialog), filtered);
                           break;
                         case 5:
                           EXPECT_EQ(s.dialog.show_result, 0);
                           EXPECT_EQ(picture(dialog), plain);
                           break;
                         default:
                           break;
                       }
                       headless::reset_draw_stats();
                     });
  EXPECT_EQ(r.run.result, 1);
}

TEST(Dialog, LeavingAFieldReReadsItAndRedrawsTheOverlays) {
  DialogRun r = play("focus 153\nfocus 117\nclick 2\n", [&](HWND, int line) {
    // Moving from the angle field to the intensity field: the angle field's own
    // notification redraws the small view (intensity never redraws).
    if (line == 2) {
      EXPECT_GT(headless::draw_stats().blits, 0u);
    }
    headless::reset_draw_stats();
  });
  EXPECT_EQ(r.run.result, 1);
}

TEST(Dialog, ScrollBarsWriteTheirFieldsAndMendInvalidOnes) {
  DialogRun r = play(
      "scroll 154 pageright\ntype 115 0\nscroll 120 lineright\ntype 115 1\ntype 115 0\n"
      "scroll 120 lineleft\nclick 2\n",
      [&](HWND dialog, int line) {
        const ModuleState& s = module_state;
        if (line == 1) {
          EXPECT_EQ(field_text(dialog, kAngle), "60");
          EXPECT_EQ(s.settings.angle, 60);
        }
        if (line == 3) {  // computed from the bar's last valid position, 8
          EXPECT_EQ(field_text(dialog, kRegions), "9");
          EXPECT_EQ(s.settings.regions, 9);
        }
        if (line == 6) {  // the bar is at its minimum already: the field stays invalid
          EXPECT_EQ(field_text(dialog, kRegions), "0");
          EXPECT_EQ(s.settings.regions, -1);
        }
      });
  EXPECT_EQ(r.run.result, 1);
}

TEST(Dialog, TheOutlineTimerRunsOnlyWithASelection) {
  std::vector<uint8_t> selection(200 * 120, 0);
  for (int y = 30; y < 90; ++y)
    for (int x = 50; x < 150; ++x) selection[size_t(y) * 200 + size_t(x)] = 255;
  for (const std::vector<uint8_t>* mask : {static_cast<const std::vector<uint8_t>*>(nullptr),
                                           static_cast<const std::vector<uint8_t>*>(&selection)}) {
    std::size_t live_timers = 99;
    int16_t ants = -1;
    DialogRun r = play(
        "tick 3\nclick 1\n",
        [&](HWND, int line) {
          if (line == 0) live_timers = headless::timers().size();
          if (line == 1) ants = module_state.selection.ants_drawn;
        },
        RunSetup{mask});
    EXPECT_EQ(r.run.result, 0);
    EXPECT_EQ(live_timers, mask != nullptr ? 1u : 0u);
    EXPECT_EQ(ants, mask != nullptr ? 1 : 0);
    EXPECT_TRUE(headless::timers().empty());
    if (mask != nullptr) {
      EXPECT_EQ(headless::timers().size(), 0u);
      // The host blends by the mask: outside the selection the image is untouched, inside
      // it is the filtered image.
      Image original = pt::pattern_image(200, 120, 3, 5);
      Image filtered = filtered_without_dialog(r.stored);
      int changed_outside = 0, changed_inside = 0, wrong_inside = 0;
      for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 200; ++x) {
          bool differs = std::memcmp(r.image.at(x, y), original.at(x, y), 3) != 0;
          if (selection[size_t(y) * 200 + size_t(x)] == 0) {
            changed_outside += differs;
          } else {
            changed_inside += differs;
            wrong_inside += std::memcmp(r.image.at(x, y), filtered.at(x, y), 3) != 0;
          }
        }
      EXPECT_EQ(wrong_inside, 0);
      EXPECT_EQ(changed_outside, 0);
      EXPECT_GT(changed_inside, 100);
    }
  }
}

// Outline pixels in columns x0..x1 - 1 and rows y0..y1 - 1 of the big view (the marker's
// block left out) that do not show the stripes of the first tick after a fresh start: black
// where (x + y) mod 8 is 7, 0, 1, 2 or 3, white elsewhere. Counts the pixels looked at.
int first_tick_errors(HWND dialog, int x0, int y0, int x1, int y1, int& checked) {
  const ModuleState& s = module_state;
  HWND big = GetDlgItem(dialog, kBig);
  int wrong = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      if (std::abs(x - s.preview.center_x) <= 4 && std::abs(y - s.preview.center_y) <= 4) continue;
      if (!(s.selection.mask_bits[y * s.selection.mask_row_bytes + x / 8] & (0x80 >> (x % 8))))
        continue;
      ++checked;
      COLORREF want = (x + y + 1) % 8 <= 4 ? 0 : 0xFFFFFF;
      wrong += headless::window_pixel(big, x, y) != want;
    }
  return wrong;
}

TEST(Dialog, AFullRenderRestartsTheMarchingAnts) {
  std::vector<uint8_t> selection(200 * 120, 0);
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 200; ++x)
      if ((x - 100) * (x - 100) + 4 * (y - 60) * (y - 60) < 3000)
        selection[size_t(y) * 200 + size_t(x)] = 255;
  int checked = 0;
  DialogRun r = play(
      "tick 3\nclick 102\ntype 153 \ntick 1\nclick 2\n",
      [&](HWND dialog, int line) {
        if (line != 4) return;
        // The first tick after Preview's render: outline pixels black where
        // (x + y) mod 8 is 7, 0, 1, 2 or 3, white elsewhere, as after the
        // very first tick (the angle field is empty, so no guide lines).
        const ModuleState& s = module_state;
        EXPECT_EQ(first_tick_errors(dialog, 0, 0, s.preview.preview_width, s.preview.preview_height,
                                    checked),
                  0);
      },
      RunSetup{&selection});
  EXPECT_GT(checked, 300);
  EXPECT_EQ(r.run.result, 1);
}

// A picture taller than wide has a preview narrower than the view: the outline bitmap has the
// preview's rows, whole and reduced, so the stripes land on the outline.
TEST(Dialog, TheAntsFollowTheOutlineOfAPictureTallerThanWide) {
  std::vector<uint8_t> selection(120 * 200, 0);
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 120; ++x)
      if (4 * (x - 60) * (x - 60) + (y - 100) * (y - 100) < 3000)
        selection[size_t(y) * 120 + size_t(x)] = 255;
  for (int32_t max_space : {0, 90000}) {
    SCOPED_TRACE(max_space);
    RunSetup setup{&selection, 120, 200};
    setup.max_space = max_space;
    int checked = 0;
    int16_t decimation = 0;
    DialogRun r = play(
        "tick 3\nclick 102\ntype 153 \ntick 1\nclick 2\n",
        [&](HWND dialog, int line) {
          if (line != 4) return;
          const ModuleState& s = module_state;
          decimation = s.plan.decimation;
          EXPECT_LT(s.preview.preview_width, 200);
          EXPECT_EQ(first_tick_errors(dialog, 0, 0, s.preview.preview_width,
                                      s.preview.preview_height, checked),
                    0);
        },
        setup);
    EXPECT_GT(checked, 300);
    EXPECT_EQ(decimation, max_space == 0 ? 1 : 2);
    EXPECT_EQ(r.run.result, 1);
  }
}

TEST(Dialog, TheAntsStayWholeWhereTheMarkerLeftItsBlock) {
  // A rectangle whose left edge runs through the preview's middle, where the marker starts.
  std::vector<uint8_t> selection(200 * 120, 0);
  for (int y = 20; y < 100; ++y)
    for (int x = 100; x < 180; ++x) selection[size_t(y) * 200 + size_t(x)] = 255;
  int checked = 0;
  DialogRun r = play(
      "type 153 \ntick 3\npress 100 20 20\nrelease 100 20 20\ntick 1\nclick 2\n",
      [&](HWND dialog, int line) {
        if (line != 5) return;
        ASSERT_EQ(module_state.preview.center_x, 20);
        // The marker's old block, around (134, 80).
        EXPECT_EQ(first_tick_errors(dialog, 130, 76, 138, 84, checked), 0);
      },
      RunSetup{&selection});
  EXPECT_GE(checked, 8);
  EXPECT_EQ(r.run.result, 1);
}

// A random user: clicks, typing, scroll codes, drags inside and outside the views, ticks.
std::string random_script(std::mt19937& random) {
  static const int kControls[] = {id::kBigView,    id::kSmallView,   id::kPreview,  id::kCancel,
                                  id::kOk,         id::kRestore,     id::kParallel, id::kRightAngle,
                                  id::kMixed,      id::kFade,        id::kAngle,    id::kRegions,
                                  id::kSpacing,    id::kIntensity,   id::kAngleBar, id::kRegionsBar,
                                  id::kSpacingBar, id::kIntensityBar};
  static const char* kTexts[] = {"",    "0",   "1",  "5",   "20",  "45",   "99", "100",
                                 "360", "361", "-3", "abc", "007", "1234", " 7"};
  auto pick = [&](int n) { return int(random() % unsigned(n)); };
  std::string script;
  int steps = 1 + pick(25);
  for (int i = 0; i < steps; ++i) {
    int control = kControls[pick(18)];
    switch (pick(9)) {
      case 0: {
        static const int kButtons[] = {id::kPreview, id::kRestore, id::kParallel, id::kRightAngle,
                                       id::kMixed,   id::kFade,    id::kCancel,   id::kOk};
        // OK and Cancel less often, so that dialogs stay open longer.
        script += "click " + std::to_string(kButtons[pick(pick(4) == 0 ? 8 : 6)]) + "\n";
        break;
      }
      case 1:
        script += "type " + std::to_string(kControls[10 + pick(4)]) + " " + kTexts[pick(15)] + "\n";
        break;
      case 2:
        script += "scroll " + std::to_string(kControls[14 + pick(4)]) + " " +
                  std::to_string(pick(10)) + " " + std::to_string(pick(500) - 50) + "\n";
        break;
      case 3:
      case 4: {
        int view = 100 + pick(2);
        script += "press " + std::to_string(view) + " " + std::to_string(pick(400) - 60) + " " +
                  std::to_string(pick(400) - 60) + "\n";
        for (int m = pick(4); m > 0; --m)
          script += "move " + std::to_string(view) + " " + std::to_string(pick(400) - 60) + " " +
                    std::to_string(pick(400) - 60) + "\n";
        if (pick(3) != 0) script += "release " + std::to_string(view) + " 0 0\n";
        break;
      }
      case 5:
        script += "tick " + std::to_string(1 + pick(3)) + "\n";
        break;
      case 6:
        script += std::string("key ") + (pick(4) == 0 ? "esc" : pick(2) ? "enter" : "tab") + "\n";
        break;
      case 7:
        script += "focus " + std::to_string(control) + "\n";
        break;
      default:
        script += "click " + std::to_string(250 + pick(3)) + "\n";
        break;
    }
  }
  if (pick(2) == 0) script += "click 1\n";
  return script;
}

TEST(Dialog, RandomUsersNeverCrashItHangItOrLeaveAnythingBehind) {
  std::mt19937 random(20261208);
  std::vector<uint8_t> selection(61 * 47, 0);
  for (int y = 0; y < 47; ++y)
    for (int x = 0; x < 61; ++x)
      if ((x - 30) * (x - 30) + (y - 20) * (y - 20) < 300)
        selection[size_t(y) * 61 + size_t(x)] = 255;
  test_support::host_window();  // made once, on first use
  // The stored parameters' block lives from run to run.
  pt::linked_module().set_parameters(pt::record_bytes(pt::settings(8, 100, 50, 50, 0, 0, 0, 0)));
  const headless::DisplayCounts before = headless::display_counts();
  headless::reset_memory_stats();
  const std::size_t blocks = headless::memory_stats().live_blocks;
  std::map<int16_t, int> results, reduced;
  for (int i = 0; i < 1500; ++i) {
    std::string script = random_script(random);
    // Now and then a pen, bitmap or device context cannot be made, in Start or in the dialog.
    unsigned failing = i % 7 == 3 ? 1 + unsigned(random() % 40) : 0;
    headless::fail_gdi_creation(failing);
    // Gray, RGB and CMYK; drawn by the host or by the module (dithered on an 8-bit screen);
    // the whole image in memory or reduced by 2 or 3.
    RunSetup setup{i % 3 == 0 ? &selection : nullptr, 61, 47, i % 4 == 0 ? 1 : i % 4 == 1 ? 4 : 3};
    setup.host_draws = i % 2 == 0;
    if (i % 5 == 2) {
      // Room for about a half to a fifth of the image beside the fixed needs: reduced by 2 or 3.
      const int32_t row_bytes = 61 * setup.planes, whole = row_bytes * 47;
      int32_t fixed = (row_bytes + 1) * 32 + 47 + 2000 + (setup.planes == 1 ? 512 : 4352) + 8192 +
                      (setup.host_draws ? 0 : 6144) + (setup.selection ? 20000 : 0);
      setup.max_space = fixed + whole / 5 + int32_t(random() % unsigned(whole / 3));
    }
    headless::set_display_depth(i % 11 == 5 ? 8 : 24, 1);
    DialogRun r = play(script, nullptr, setup);
    headless::set_display_depth(24, 1);
    headless::fail_gdi_creation(0);
    ++results[r.run.result];
    ASSERT_TRUE(r.run.result == 0 || r.run.result == 1 ||
                (failing != 0 && r.run.result == filter_api::memFullErr))
        << script << " " << r.run.result << " " << setup.max_space;
    if (setup.max_space > 0 && r.run.result != filter_api::memFullErr)
      ++reduced[module_state.plan.decimation];
    ASSERT_TRUE(r.run.host_error.empty()) << script;
    ASSERT_TRUE(r.failures.empty()) << script << r.failures.front();
    const ParameterRecord& s = r.stored;
    ASSERT_TRUE(s.regions >= 1 && s.regions <= 20 && s.angle >= 0 && s.angle <= 360 &&
                s.spacing >= 5 && s.spacing <= 100 && s.intensity >= 0 && s.intensity <= 100)
        << script;
    headless::DisplayCounts after = headless::display_counts();
    ASSERT_EQ(after.windows, before.windows) << script;
    ASSERT_EQ(after.window_dcs, 0u) << script;
    ASSERT_EQ(after.memory_dcs, before.memory_dcs) << script;
    ASSERT_EQ(after.bitmaps, before.bitmaps) << script;
    ASSERT_EQ(after.pens, before.pens) << script;
    ASSERT_TRUE(headless::timers().empty()) << script;
    ASSERT_EQ(headless::memory_stats().live_blocks, blocks) << script;
    ASSERT_EQ(headless::memory_stats().invalid_calls, 0u) << script;
  }
  EXPECT_GT(reduced[2] + reduced[3], 100);  // dialogs on reduced working images
  EXPECT_GT(results[0], 100);               // both endings were reached often
  EXPECT_GT(results[1], 100);
}

// Outside the Chinese code page the labels are set in English (Windows would show the
// template's as question marks); in it they stay as the template has them.
TEST(DialogLabels, EnglishOutsideTheChineseCodePageAsTheTemplateHasThemInIt) {
  for (unsigned code_page : {1252u, 936u}) {
    SCOPED_TRACE(code_page);
    headless::set_code_page(code_page);
    std::map<int, std::string> shown;
    ASSERT_TRUE(headless::set_ui_script("wait-ready\nclick 2\n"));
    headless::set_ui_observer([&](HWND, int line) {
      if (line != 0) return;
      for (int id : {id::kPreview, id::kCancel, id::kOk, id::kRestore, id::kParallel,
                     id::kRightAngle, id::kMixed, id::kFade, id::kAngleLabel, id::kRegionsLabel,
                     id::kSpacingLabel, id::kIntensityLabel}) {
        char text[64] = {};
        GetDlgItemTextA(module_state.dialog.dialog_window, id, text, sizeof text);
        shown[id] = text;
      }
    });
    Image image = pt::pattern_image(60, 40, 3, 1);
    ParameterRecord record = pt::settings(8, 100, 50, 50, 0, 0, 0, 0);
    record.show_dialog = 1;
    pt::linked_module().set_parameters(pt::record_bytes(record));
    plugin_host::RunOptions options = pt::options_for(3);
    EXPECT_EQ(pt::linked_module().run(image, options).result, 1);  // cancelled
    headless::set_ui_observer(nullptr);
    if (code_page == 1252) {
      EXPECT_EQ(shown[id::kPreview], "Preview");
      EXPECT_EQ(shown[id::kCancel], "Cancel");
      EXPECT_EQ(shown[id::kRightAngle], "Right-angle regions");
      EXPECT_EQ(shown[id::kIntensityLabel], "Intensity:");
    } else {
      EXPECT_EQ(shown[id::kPreview], "预览");
      EXPECT_EQ(shown[id::kIntensityLabel], "强度:");
    }
  }
  headless::reset_display_settings();
}

}  // namespace
#endif

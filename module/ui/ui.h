// The dialog and its two preview windows: the procedures Windows calls, exported by name.
#pragma once

#include <windows.h>

#include <cstdint>

#include "module/ui/dialog_ids.h"

// What a number setting holds while its field's text is not a number in range.
constexpr int16_t kInvalidNumber = -1;

// The effect settings as the dialog edits them, loaded from the stored record when it opens.
// A number setting holds kInvalidNumber while its field's text is invalid.
struct SettingsState {
  int16_t regions;    // 1..20
  int16_t intensity;  // 0..100
  int16_t angle;      // 0..360 degrees
  int16_t spacing;    // 5..100
  int16_t mode;       // 0 parallel, 1 right-angle, -1 mixed
  int16_t fade;       // 0 or 1
};

// The dialog while it runs (ui/), and the measuring pass of Start.
struct DialogWindowState {
  HWND dialog_window;      // the dialog while it runs
  int16_t show_result;     // 1 while the big preview shows the filtered image
  int16_t guides_drawn;    // 1 while the big view's inverted guide lines are on screen
  int32_t big_capture;     // the big view holds the mouse for a centre drag
  int32_t small_capture;   // the small view holds the mouse for a centre drag
  int16_t measuring;       // 1 during the measuring pass: the dialog ends before it shows
  int16_t measured_width;  // the big preview control's client size, as measured
  int16_t measured_height;
};

// The outline animation's timer.
constexpr UINT_PTR kAntsTimer = 1;

// What an overlay redraw covers: restore_marker_area takes the overlays (guide lines, centre
// marker) away before a change, redraw_overlays puts them back after it.
enum class Overlays : int16_t {
  kGuidesOnly = -2,  // both views; the big view's marker stays where it is (settings changed)
  kSmallView = -1,   // the small view only (its paint)
  kBothViews = 0,    // both views, the big view's marker with them (the centre moved)
  kBigView = 1,      // the big view only (a render, or the centre moved within one small-view cell)
};

// A label the dialog sets in English outside the Chinese code page.
struct EnglishLabel {
  int id;
  const wchar_t* text;
};
constexpr EnglishLabel kEnglishLabels[] = {{dialog_id::kPreview, L"Preview"},
                                           {dialog_id::kCancel, L"Cancel"},
                                           {dialog_id::kOk, L"OK"},
                                           {dialog_id::kRestore, L"Restore"},
                                           {dialog_id::kParallel, L"Parallel lines"},
                                           {dialog_id::kRightAngle, L"Right-angle regions"},
                                           {dialog_id::kMixed, L"Mixed parallel"},
                                           {dialog_id::kFade, L"Fade"},
                                           {dialog_id::kAngleLabel, L"Angle:"},
                                           {dialog_id::kRegionsLabel, L"Regions:"},
                                           {dialog_id::kSpacingLabel, L"Spacing:"},
                                           {dialog_id::kIntensityLabel, L"Intensity:"}};

extern "C" INT_PTR CALLBACK FilterDlg(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
extern "C" LRESULT CALLBACK big_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
extern "C" LRESULT CALLBACK small_procedure(HWND window, UINT message, WPARAM wparam,
                                            LPARAM lparam);

// Registers the big (small = false) or small preview window class; returns the class atom,
// 0 on failure.
ATOM register_view_class(bool small);

// --- the preview windows and their overlays (ui/views) ---
// Moves the centre to a mouse position in a view (0 big, 1 small: half scale), clamped to
// the preview, erasing and redrawing the overlays as the move needs.
void drag_center(int16_t x, int16_t y, int16_t view);
// The guide lines for a centre at (x, y) in the view's pixels: inverted on the big view
// (view 0), so drawing them twice restores it; black on the small view. Nothing while the
// dialog is not ready or a setting they show is invalid.
void draw_guide_lines(int16_t x, int16_t y, int16_t view);
void draw_small_guides(int16_t x, int16_t y);
// Shows (state 1) or takes away (0) the big view's guide lines, unless they already are so.
void toggle_big_guides(int16_t state, int16_t x, int16_t y);
// The 8 x 8 centre marker on the big (0) or small (1) view.
void draw_marker(int16_t view);
// The drawing half of the overlay redraw: the small view's diagram unless only the big view
// is covered, the big guide lines unless only the small view is, and the big marker for the
// big view and both views.
void redraw_overlays(Overlays covered);

// Runs the parameter dialog when the stored record asks for it, and stores the settings and
// the centre when the user confirms. False when the user cancelled (or the dialog could not
// be shown).
bool run_dialog();
// Opens the dialog invisibly to measure the big preview control's client area; false when it
// could not be measured (the dialog did not open, or the control has no area).
bool measure_big_view(int16_t* width, int16_t* height);
// A full render painted over the big view's guide lines: they are no longer on the screen.
void guides_painted_over();

// --- the number fields and their scroll bars (ui/fields) ---
// Moves a window to the middle of the screen (never past its top-left corner).
void center_dialog(HWND window);
// Sets up a field and its bar: the bar's range (which is also the field's valid range), its
// position, the field's number and its text limit.
void init_control(int16_t value, int16_t min, int16_t max, int edit, int bar);
// The field's number, or kInvalidNumber when its text is not an unsigned number within
// min..max.
int16_t read_edit_value(int edit, int16_t min, int16_t max);
// Moves a bar, unless the value (as a signed 16-bit number) is negative.
void set_scroll_pos_if_valid(HWND bar, int16_t value);
// Moves a bar to a position clamped to its range and writes the number into its field (whose
// notifications then update the setting); nothing when the bar is already there.
void set_scroll_value(int bar, int16_t position);
// Turns a scroll code (line, page, thumb, ends) into a new position for the bar.
void handle_scroll(int bar, int16_t code, int16_t thumb);
// Beeps and puts the user into the field with its whole text selected; returns 0.
int16_t reject_edit(int edit);
void select_and_focus(int edit);

// The player of the scripted user: set_ui_script takes the steps the parser reads, and the
// modal loop of DialogBoxParamA plays them one at a time, each after painting what is invalid.
#include "headless_win32/ui_script_player.h"

#include <deque>
#include <functional>

#include "headless_win32/controls.h"
#include "headless_win32/display.h"
#include "headless_win32/headless.h"
#include "headless_win32/messages.h"
#include "headless_win32/painting.h"
#include "headless_win32/timers.h"
#include "headless_win32/ui_script_parser.h"

namespace headless_detail {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

using ui_script::Key;
using ui_script::Step;
using ui_script::Verb;

// Guarded by the display's mutex.
struct Script {
  std::deque<Step> steps;
  std::vector<std::string> errors;
  std::vector<std::string> failures;
  bool button_down = false;                 // the left mouse button, between press and release
  std::function<void(HWND, int)> observer;  // called each time the dialog is at rest
  headless::PictureWriter writer;
};

Script& script() {
  static Script& s = *new Script;  // never destroyed, as the display
  return s;
}

void fail(const Step& step, const std::string& what) {
  Display& d = display();
  Lock lock(d.mutex);
  script().failures.push_back("line " + std::to_string(step.line) + ": " + what);
}

// Splits TEXT into characters (UTF-8 sequences stay whole).
std::vector<std::string> characters(const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = 1;
    while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
    out.push_back(text.substr(i, n));
    i += n;
  }
  return out;
}

bool dialog_ended(HWND dialog) {
  Display& d = display();
  Lock lock(d.mutex);
  Window* w = d.window(dialog);
  return w == nullptr || w->dialog == nullptr || w->dialog->ended;
}

// Enter: the focused push button, else the default push button, else IDOK.
void press_enter(HWND dialog) {
  HWND focus = GetFocus();
  HWND target = nullptr;
  if (GetParent(focus) == dialog) {
    int type = button_type(focus);
    if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) target = focus;
  }
  if (target == nullptr) {
    Display& d = display();
    Lock lock(d.mutex);
    if (Window* w = d.window(dialog)) {
      for (HWND child : w->children) {
        Window* c = d.window(child);
        if (c->window_class->kind == WindowKind::kButton &&
            (c->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
          target = child;
          break;
        }
      }
    }
  }
  int id = target != nullptr ? GetDlgCtrlID(target) : IDOK;
  if (target == nullptr) target = GetDlgItem(dialog, IDOK);
  send_message(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(target));
}

void mouse(HWND dialog, const Step& step) {
  HWND view = GetDlgItem(dialog, step.id);
  if (view == nullptr) return fail(step, "no control " + std::to_string(step.id));
  POINT p{step.x, step.y};
  ClientToScreen(view, &p);
  HWND target = GetCapture();
  if (target == nullptr) target = view;
  ScreenToClient(target, &p);
  UINT message = WM_MOUSEMOVE;
  {
    Display& d = display();
    Lock lock(d.mutex);
    if (step.verb == Verb::kPress) {
      message = WM_LBUTTONDOWN;
      script().button_down = true;
    } else if (step.verb == Verb::kRelease) {
      message = WM_LBUTTONUP;
      script().button_down = false;
    }
  }
  WPARAM buttons = message == WM_LBUTTONUP ? 0 : MK_LBUTTON;
  if (message == WM_MOUSEMOVE) {
    Display& d = display();
    Lock lock(d.mutex);
    buttons = script().button_down ? MK_LBUTTON : 0;
  }
  send_message(target, message, buttons, MAKELPARAM(p.x, p.y));
}

void tick(HWND dialog, const Step& step) {
  for (long i = 0; i < step.count && !dialog_ended(dialog); ++i) {
    UINT period = shortest_timer_period();
    if (period == 0) return;  // no timer: nothing comes due
    advance_clock(period);
    do {
      paint_invalid_windows();
    } while (!dialog_ended(dialog) && deliver_pending_timer());
  }
}

void snapshot(HWND dialog, const Step& step) {
  HWND window = step.id == ui_script::kWholeDialog ? dialog : GetDlgItem(dialog, step.id);
  if (window == nullptr) return fail(step, "no control " + std::to_string(step.id));
  headless::PictureWriter writer;
  {
    Display& d = display();
    Lock lock(d.mutex);
    writer = script().writer;
  }
  if (!writer) return fail(step, "no picture writer to take the snapshot " + step.text);
  std::optional<headless::Picture> picture = headless::window_picture(window);
  if (!picture) return fail(step, "no window to take a snapshot of");
  std::string why = writer(step.text, *picture);
  if (!why.empty()) fail(step, why);
}

void play(HWND dialog, const Step& step) {
  HWND control = nullptr;
  switch (step.verb) {
    case Verb::kType:
    case Verb::kFocus:
    case Verb::kClick:
    case Verb::kScroll:
      control = GetDlgItem(dialog, step.id);
      if (control == nullptr) return fail(step, "no control " + std::to_string(step.id));
      break;
    default:
      break;
  }
  switch (step.verb) {
    case Verb::kWaitReady:
      return;
    case Verb::kType:
      if (kind_of(control) != WindowKind::kEdit)
        return fail(step, "control " + std::to_string(step.id) + " is no edit control");
      SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
      if (step.text.empty()) return edit_replace_selection(control, "");
      for (const std::string& c : characters(step.text)) {
        if (dialog_ended(dialog) || GetFocus() != control) return;
        edit_replace_selection(control, c);
      }
      return;
    case Verb::kFocus:
      SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
      return;
    case Verb::kClick:
      if (kind_of(control) == WindowKind::kButton) return click_button(control);
      if (kind_of(control) == WindowKind::kEdit) {
        SetFocus(control);
        return;
      }
      return fail(step, "control " + std::to_string(step.id) + " cannot be clicked");
    case Verb::kKey:
      if (step.key == Key::kEnter) return press_enter(dialog);
      if (step.key == Key::kEsc) {
        send_message(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
        return;
      }
      SendMessageA(dialog, WM_NEXTDLGCTL, 0, FALSE);
      return;
    case Verb::kScroll: {
      if (kind_of(control) != WindowKind::kScrollBar)
        return fail(step, "control " + std::to_string(step.id) + " is no scroll bar");
      bool vertical;
      {
        Display& d = display();
        Lock lock(d.mutex);
        vertical = (d.window(control)->style & SBS_VERT) != 0;
      }
      send_message(GetParent(control), vertical ? WM_VSCROLL : WM_HSCROLL,
                   MAKEWPARAM(step.code, step.position), reinterpret_cast<LPARAM>(control));
      return;
    }
    case Verb::kPress:
    case Verb::kMove:
    case Verb::kRelease:
      return mouse(dialog, step);
    case Verb::kTick:
      return tick(dialog, step);
    case Verb::kExpectBeeps: {
      std::size_t heard = headless::beeps().size();
      if (heard != std::size_t(step.count))
        fail(step,
             "expected " + std::to_string(step.count) + " beeps, heard " + std::to_string(heard));
      return;
    }
    case Verb::kExpectText: {
      char shown[256] = {};
      GetDlgItemTextA(dialog, step.id, shown, int(sizeof shown));
      if (step.text != shown)
        fail(step, "control " + std::to_string(step.id) + " shows '" + shown + "', not '" +
                       step.text + "'");
      return;
    }
    case Verb::kSnapshot:
      return snapshot(dialog, step);
  }
}

}  // namespace

void run_modal_loop(HWND dialog, const std::shared_ptr<DialogState>& state) {
  Display& d = display();
  {
    Lock lock(d.mutex);
    if (state->ended || d.window(dialog) == nullptr) return;
    invalidate_tree(d, dialog);  // shown: everything in it needs painting
  }
  int played_line = 0;  // the script line of the step played last
  while (true) {
    paint_invalid_windows();
    if (dialog_ended(dialog)) return;
    if (deliver_pending_timer()) continue;
    std::function<void(HWND, int)> observer;
    {
      Lock lock(d.mutex);
      observer = script().observer;
    }
    if (observer) {
      observer(dialog, played_line);
      if (dialog_ended(dialog)) return;
    }
    Step step;
    {
      Lock lock(d.mutex);
      if (state->ended || d.window(dialog) == nullptr) return;
      Script& s = script();
      if (s.steps.empty()) {
        d.last_dialog_ran_out_of_script = true;
      } else {
        step = s.steps.front();
        s.steps.pop_front();
      }
    }
    if (step.line == 0) {
      EndDialog(dialog, IDCANCEL);
      return;
    }
    played_line = step.line;
    play(dialog, step);
  }
}

}  // namespace headless_detail

namespace headless {

bool set_ui_script(const std::string& text) {
  ui_script::Parsed parsed = ui_script::parse(text);
  headless_detail::Display& d = headless_detail::display();
  std::lock_guard<std::recursive_mutex> lock(d.mutex);
  headless_detail::Script& s = headless_detail::script();
  s.steps.assign(parsed.steps.begin(), parsed.steps.end());
  s.errors = parsed.errors;
  s.failures.clear();
  s.button_down = false;
  return parsed.errors.empty();
}

void set_picture_writer(PictureWriter writer) {
  headless_detail::Display& d = headless_detail::display();
  std::lock_guard<std::recursive_mutex> lock(d.mutex);
  headless_detail::script().writer = std::move(writer);
}

void set_ui_observer(std::function<void(HWND dialog, int line)> observer) {
  headless_detail::Display& d = headless_detail::display();
  std::lock_guard<std::recursive_mutex> lock(d.mutex);
  headless_detail::script().observer = std::move(observer);
}

std::vector<std::string> ui_script_errors() {
  headless_detail::Display& d = headless_detail::display();
  std::lock_guard<std::recursive_mutex> lock(d.mutex);
  return headless_detail::script().errors;
}

std::vector<std::string> ui_script_failures() {
  headless_detail::Display& d = headless_detail::display();
  std::lock_guard<std::recursive_mutex> lock(d.mutex);
  return headless_detail::script().failures;
}

std::size_t ui_script_steps_left() {
  headless_detail::Display& d = headless_detail::display();
  std::lock_guard<std::recursive_mutex> lock(d.mutex);
  return headless_detail::script().steps.size();
}

}  // namespace headless

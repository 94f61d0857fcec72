// The scripted user: a line format of user actions, parsed by set_ui_script and played by the
// modal loop of DialogBoxParamA one step at a time, each after painting what is invalid.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <functional>
#include <sstream>

#include "headless_win32/controls.h"
#include "headless_win32/headless.h"

namespace headless_detail {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

enum class Verb {
  kWaitReady,
  kType,
  kFocus,
  kClick,
  kKey,
  kScroll,
  kPress,
  kMove,
  kRelease,
  kTick,
  kExpectBeeps,
  kSnapshot
};
enum class Key { kEnter, kEsc, kTab };

struct Step {
  int line = 0;
  Verb verb = Verb::kWaitReady;
  int id = 0;        // the control (type, focus, click, scroll, press, move, release)
  std::string text;  // type
  Key key = Key::kEnter;
  int code = 0;      // scroll
  int position = 0;  // scroll
  int x = 0, y = 0;  // press, move, release
  long count = 0;    // tick, expect-beeps
};

// Guarded by the display's mutex.
struct Script {
  std::deque<Step> steps;
  std::vector<std::string> errors;
  std::vector<std::string> failures;
  bool button_down = false;                 // the left mouse button, between press and release
  std::function<void(HWND, int)> observer;  // called each time the dialog is at rest
};

Script& script() {
  static Script& s = *new Script;  // never destroyed, as the display
  return s;
}

std::string lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A whole token as a decimal number within [low, high].
bool parse_number(const std::string& token, long low, long high, long& out) {
  if (token.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(token.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

bool parse_scroll_code(const std::string& token, int& out) {
  static const char* const kNames[] = {"lineleft",  "lineright",     "pageleft",
                                       "pageright", "thumbposition", "thumbtrack",
                                       "left",      "right",         "endscroll"};
  long number;
  if (parse_number(token, 0, 0xFFFF, number)) {
    out = int(number);
    return true;
  }
  std::string name = lower(token);
  if (name.rfind("sb_", 0) == 0) name = name.substr(3);
  for (int i = 0; i < 9; ++i) {
    if (name == kNames[i]) {
      out = i;
      return true;
    }
  }
  return false;
}

// Parses one line that holds a step; an error message when it is malformed.
std::string parse_step(const std::string& line, Step& step) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  std::vector<std::string> args;
  for (std::string token; in >> token;) args.push_back(token);
  auto id_at = [&](std::size_t i, int& out) {
    long value;
    if (i >= args.size() || !parse_number(args[i], 0, 0xFFFF, value)) return false;
    out = int(value);
    return true;
  };
  auto coordinate_at = [&](std::size_t i, int& out) {
    long value;
    if (i >= args.size() || !parse_number(args[i], -32768, 32767, value)) return false;
    out = int(value);
    return true;
  };
  if (verb == "wait-ready") {
    step.verb = Verb::kWaitReady;
    return args.empty() ? "" : "wait-ready takes nothing";
  }
  if (verb == "type") {
    step.verb = Verb::kType;
    if (!id_at(0, step.id)) return "type needs a control id";
    // The text: everything after the one blank that follows the id, blanks included.
    std::size_t at = line.find_first_not_of(" \t");
    at = line.find_first_of(" \t", at);      // after the verb
    at = line.find_first_not_of(" \t", at);  // the id
    at = line.find_first_of(" \t", at);      // after the id
    step.text = at == std::string::npos ? "" : line.substr(at + 1);
    return "";
  }
  if (verb == "focus" || verb == "click") {
    step.verb = verb == "focus" ? Verb::kFocus : Verb::kClick;
    if (args.size() != 1 || !id_at(0, step.id)) return verb + " needs one control id";
    return "";
  }
  if (verb == "key") {
    step.verb = Verb::kKey;
    std::string name = args.size() == 1 ? lower(args[0]) : "";
    if (name == "enter" || name == "return") {
      step.key = Key::kEnter;
    } else if (name == "esc" || name == "escape") {
      step.key = Key::kEsc;
    } else if (name == "tab") {
      step.key = Key::kTab;
    } else {
      return "key takes enter, esc or tab";
    }
    return "";
  }
  if (verb == "scroll") {
    step.verb = Verb::kScroll;
    if (args.size() < 2 || args.size() > 3 || !id_at(0, step.id))
      return "scroll needs a control id, a code and an optional position";
    if (!parse_scroll_code(args[1], step.code)) return "unknown scroll code '" + args[1] + "'";
    long position = 0;
    if (args.size() == 3 && !parse_number(args[2], -32768, 65535, position))
      return "bad scroll position '" + args[2] + "'";
    step.position = int(position);
    return "";
  }
  if (verb == "press" || verb == "move" || verb == "release") {
    step.verb = verb == "press" ? Verb::kPress : verb == "move" ? Verb::kMove : Verb::kRelease;
    if (args.size() != 3 || !id_at(0, step.id) || !coordinate_at(1, step.x) ||
        !coordinate_at(2, step.y))
      return verb + " needs a control id and two coordinates";
    return "";
  }
  if (verb == "tick" || verb == "expect-beeps") {
    step.verb = verb == "tick" ? Verb::kTick : Verb::kExpectBeeps;
    if (args.size() != 1 || !parse_number(args[0], 0, 1000000, step.count))
      return verb + " needs a count";
    return "";
  }
  if (verb == "snapshot") {
    step.verb = Verb::kSnapshot;
    long id;
    if (args.size() != 2 || (args[0] != "dialog" && !parse_number(args[0], 0, 0xFFFF, id)))
      return "snapshot needs dialog or a control id, and a file";
    return "";
  }
  return "unknown step '" + verb + "'";
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
    case Verb::kSnapshot:
      return fail(step, "snapshot is not available here yet");
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
  using headless_detail::Step;
  std::deque<Step> steps;
  std::vector<std::string> errors;
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    Step step;
    step.line = number;
    std::string error = headless_detail::parse_step(line, step);
    if (error.empty())
      steps.push_back(step);
    else
      errors.push_back("line " + std::to_string(number) + ": " + error);
  }
  headless_detail::Display& d = headless_detail::display();
  std::lock_guard<std::recursive_mutex> lock(d.mutex);
  headless_detail::Script& s = headless_detail::script();
  s.steps = std::move(steps);
  s.errors = errors;
  s.failures.clear();
  s.button_down = false;
  return errors.empty();
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

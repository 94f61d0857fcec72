// The scripted user on Windows: a thread of its own finds the run's dialog (a visible #32770
// window of the thread that runs the filter) and plays each step against it as the user and
// the dialog manager would, with SendMessage, so that every step has been handled before the
// next one starts. Painting settles between steps. Snapshots are copied from the screen.
#include <windows.h>

#include <cstring>
#include <iterator>
#include <memory>

#include "command/ui_player.h"
#include "headless_win32/ui_script_parser.h"
#include "image_files/image_io.h"
#include "plugin_host/arguments.h"

namespace ui_player {
namespace {

using ui_script::Key;
using ui_script::Step;
using ui_script::Verb;

constexpr DWORD kPaintTimeoutMs = 5000;  // for the dialog's painting to settle
constexpr DWORD kDisplayFlushMs = 50;    // for what was painted to reach the screen
constexpr DWORD kTimerPeriodMs = 100;    // the dialog's timer
constexpr DWORD kTickMarginMs = 50;

struct Player {
  std::vector<Step> steps;
  DWORD dialog_thread = 0;
  HANDLE stop = nullptr;  // set when the run is over
  HANDLE thread = nullptr;
  Report report;
  bool button_down = false;  // the left mouse button, between press and release
};

std::unique_ptr<Player> current;

void fail(Player& p, const Step& step, const std::string& what) {
  p.report.failures.push_back("line " + std::to_string(step.line) + ": " + what);
}

std::string class_of(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

bool has_class(HWND window, const char* name) {
  return lstrcmpiA(class_of(window).c_str(), name) == 0;
}

bool open(HWND dialog) { return IsWindow(dialog) && IsWindowVisible(dialog); }

BOOL CALLBACK find_visible_dialog(HWND window, LPARAM found) {
  if (IsWindowVisible(window) && class_of(window) == "#32770") {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

// The dialog once it shows (Start and the first Continue may take their time); null when the
// run ends without one.
HWND wait_for_dialog(Player& p) {
  while (true) {
    HWND dialog = nullptr;
    EnumThreadWindows(p.dialog_thread, find_visible_dialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog != nullptr) return dialog;
    if (WaitForSingleObject(p.stop, 20) == WAIT_OBJECT_0) return nullptr;
  }
}

BOOL CALLBACK child_needs_paint(HWND window, LPARAM any) {
  if (GetUpdateRect(window, nullptr, FALSE)) {
    *reinterpret_cast<bool*>(any) = true;
    return FALSE;
  }
  return TRUE;
}

bool needs_paint(HWND dialog) {
  bool any = GetUpdateRect(dialog, nullptr, FALSE) != FALSE;
  if (!any) EnumChildWindows(dialog, child_needs_paint, reinterpret_cast<LPARAM>(&any));
  return any;
}

// Lets the dialog's thread handle what was sent and paint what is invalid, until nothing is
// left to paint (or the dialog has gone).
void settle(HWND dialog) {
  for (DWORD waited = 0; waited < kPaintTimeoutMs && open(dialog); waited += 10) {
    SendMessageW(dialog, WM_NULL, 0, 0);
    RedrawWindow(dialog, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    SendMessageW(dialog, WM_NULL, 0, 0);
    if (!needs_paint(dialog)) return;
    Sleep(10);
  }
}

GUITHREADINFO gui_info(const Player& p) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  GetGUIThreadInfo(p.dialog_thread, &info);
  return info;
}

std::wstring wide(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring out(std::size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &out[0], n);
  return out;
}

bool is_push_button(HWND window) {
  if (!has_class(window, "Button")) return false;
  LONG type = GetWindowLongW(window, GWL_STYLE) & BS_TYPEMASK;
  return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

// Enter as the dialog manager takes it: the focused push button, else the default button,
// else IDOK.
void press_enter(const Player& p, HWND dialog) {
  HWND focus = gui_info(p).hwndFocus;
  int id = IDOK;
  HWND target = nullptr;
  if (focus != nullptr && GetParent(focus) == dialog && is_push_button(focus)) {
    target = focus;
    id = GetDlgCtrlID(focus);
  } else {
    LRESULT answer = SendMessageW(dialog, DM_GETDEFID, 0, 0);
    if (HIWORD(answer) == DC_HASDEFID) id = LOWORD(answer);
    target = GetDlgItem(dialog, id);
  }
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(target));
}

void mouse(Player& p, HWND dialog, const Step& step) {
  HWND view = GetDlgItem(dialog, step.id);
  if (view == nullptr) return fail(p, step, "no control " + std::to_string(step.id));
  POINT point{step.x, step.y};
  ClientToScreen(view, &point);
  HWND target = gui_info(p).hwndCapture;
  if (target == nullptr) target = view;
  ScreenToClient(target, &point);
  UINT message = WM_MOUSEMOVE;
  if (step.verb == Verb::kPress) {
    message = WM_LBUTTONDOWN;
    p.button_down = true;
  } else if (step.verb == Verb::kRelease) {
    message = WM_LBUTTONUP;
    p.button_down = false;
  }
  WPARAM buttons =
      message == WM_LBUTTONDOWN || (message == WM_MOUSEMOVE && p.button_down) ? MK_LBUTTON : 0;
  SendMessageW(target, message, buttons, MAKELPARAM(point.x, point.y));
}

// The window's pixels as they are on the screen: the whole dialog with its frame, or a
// control's client area.
void snapshot(Player& p, HWND dialog, const Step& step) {
  HWND window = step.id == ui_script::kWholeDialog ? dialog : GetDlgItem(dialog, step.id);
  if (window == nullptr) return fail(p, step, "no control " + std::to_string(step.id));
  RECT area{};
  if (window == dialog) {
    GetWindowRect(dialog, &area);
  } else {
    GetClientRect(window, &area);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&area), 2);
  }
  int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return fail(p, step, "the window has no pixels to take");
  // The dialog's thread hands what it painted to the display when it next waits for messages;
  // a moment's pause lets that happen before the screen is read (on a loaded machine the
  // copy could otherwise hold part of the previous picture).
  Sleep(kDisplayFlushMs);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool copied = false;
  if (bitmap != nullptr && memory != nullptr) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    copied = BitBlt(memory, 0, 0, width, height, screen, area.left, area.top,
                    SRCCOPY | CAPTUREBLT) != FALSE;
    GdiFlush();
    SelectObject(memory, old);
  }
  image_io::LoadedImage image;
  image.kind = image_io::Kind::kRgb;
  image.image = plugin_host::Image(width, height, 3);
  if (copied) {
    const auto* from = static_cast<const uint8_t*>(bits);  // blue, green, red, unused
    for (std::size_t i = 0; i < std::size_t(width) * std::size_t(height); ++i) {
      image.image.pixels[i * 3] = from[i * 4 + 2];
      image.image.pixels[i * 3 + 1] = from[i * 4 + 1];
      image.image.pixels[i * 3 + 2] = from[i * 4];
    }
  }
  if (bitmap != nullptr) DeleteObject(bitmap);
  if (memory != nullptr) DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (!copied) return fail(p, step, "could not copy the window's pixels from the screen");
  std::string why;
  if (!image_io::write_image(step.text, image, &why)) fail(p, step, why);
}

void play(Player& p, HWND dialog, const Step& step) {
  HWND control = nullptr;
  switch (step.verb) {
    case Verb::kType:
    case Verb::kFocus:
    case Verb::kClick:
    case Verb::kScroll:
      control = GetDlgItem(dialog, step.id);
      if (control == nullptr) return fail(p, step, "no control " + std::to_string(step.id));
      break;
    default:
      break;
  }
  switch (step.verb) {
    case Verb::kWaitReady:
      return;  // every step starts once painting has settled
    case Verb::kType: {
      if (!has_class(control, "Edit"))
        return fail(p, step, "control " + std::to_string(step.id) + " is no edit control");
      SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
      SendMessageW(control, EM_SETSEL, 0, -1);
      // Typing over the selection; backspace takes it away when there is nothing to type.
      std::wstring text = step.text.empty() ? std::wstring(1, L'\b') : wide(step.text);
      for (wchar_t c : text) {
        if (!open(dialog) || gui_info(p).hwndFocus != control) return;
        SendMessageW(control, WM_CHAR, WPARAM(c), 1);
      }
      return;
    }
    case Verb::kFocus:
      SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
      return;
    case Verb::kClick:
      if (has_class(control, "Button")) {
        SendMessageW(control, BM_CLICK, 0, 0);
        return;
      }
      if (has_class(control, "Edit")) {
        SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
        return;
      }
      return fail(p, step, "control " + std::to_string(step.id) + " cannot be clicked");
    case Verb::kKey:
      if (step.key == Key::kEnter) return press_enter(p, dialog);
      if (step.key == Key::kEsc) {
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
        return;
      }
      SendMessageW(dialog, WM_NEXTDLGCTL, 0, FALSE);
      return;
    case Verb::kScroll: {
      if (!has_class(control, "ScrollBar"))
        return fail(p, step, "control " + std::to_string(step.id) + " is no scroll bar");
      bool vertical = (GetWindowLongW(control, GWL_STYLE) & SBS_VERT) != 0;
      SendMessageW(GetParent(control), vertical ? WM_VSCROLL : WM_HSCROLL,
                   MAKEWPARAM(step.code, step.position), reinterpret_cast<LPARAM>(control));
      return;
    }
    case Verb::kPress:
    case Verb::kMove:
    case Verb::kRelease:
      return mouse(p, dialog, step);
    case Verb::kTick:
      // Real time: the dialog's own timer fires about once a period.
      for (long i = 0; i < step.count && open(dialog); ++i) Sleep(kTimerPeriodMs);
      Sleep(kTickMarginMs);
      return;
    case Verb::kExpectBeeps:
      return;  // beeps cannot be observed from here
    case Verb::kExpectText: {
      // Read as UTF-16, so that the text is what the user sees whatever the code page.
      wchar_t shown[256] = {};
      GetWindowTextW(GetDlgItem(dialog, step.id), shown, int(std::size(shown)));
      const std::string text = plugin_host::to_utf8(shown);
      if (text != step.text)
        return fail(p, step,
                    "control " + std::to_string(step.id) + " shows '" + text + "', not '" +
                        step.text + "'");
      return;
    }
    case Verb::kSnapshot:
      return snapshot(p, dialog, step);
  }
}

DWORD WINAPI play_steps(void* parameter) {
  Player& p = *static_cast<Player*>(parameter);
  HWND dialog = wait_for_dialog(p);
  if (dialog == nullptr) return 0;
  for (const Step& step : p.steps) {
    settle(dialog);
    if (!open(dialog)) return 0;
    play(p, dialog, step);
  }
  settle(dialog);
  if (open(dialog)) {
    p.report.ran_out = true;
    EndDialog(dialog, IDCANCEL);
  }
  return 0;
}

}  // namespace

void start(const std::string& script) {
  current = std::make_unique<Player>();
  current->steps = ui_script::parse(script).steps;
  current->dialog_thread = GetCurrentThreadId();
  current->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  current->thread = CreateThread(nullptr, 0, play_steps, current.get(), 0, nullptr);
}

Report finish() {
  if (!current) return {};
  Player& p = *current;
  SetEvent(p.stop);
  // The player may be sending to a window of this thread: keep handling sent messages until
  // it is done.
  while (p.thread != nullptr && MsgWaitForMultipleObjects(1, &p.thread, FALSE, INFINITE,
                                                          QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  if (p.thread != nullptr) CloseHandle(p.thread);
  CloseHandle(p.stop);
  Report report = p.report;
  current.reset();
  return report;
}

}  // namespace ui_player

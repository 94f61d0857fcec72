// Message box watching for both builds.
#include "tests/support/message_boxes.h"

#ifdef _WIN32

namespace test_support {
namespace {

std::vector<ShownBox> shown;
HHOOK hook = nullptr;

LRESULT CALLBACK on_cbt(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_ACTIVATE) {
    HWND box = reinterpret_cast<HWND>(wparam);
    char class_name[64] = {};
    GetClassNameA(box, class_name, sizeof class_name);
    if (std::string(class_name) == "#32770") {
      char caption[512] = {};
      char text[1024] = {};
      GetWindowTextA(box, caption, sizeof caption);
      GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // a message box's text control
      // Its icon control: id 20 on Windows, 0x440 in wine; set only when an icon was asked for.
      bool icon = false;
      for (int id : {20, 0x440}) {
        HWND control = GetDlgItem(box, id);
        if (control != nullptr && SendMessageA(control, STM_GETICON, 0, 0) != 0) icon = true;
      }
      shown.push_back({GetWindow(box, GW_OWNER), text, caption, icon});
      PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
  }
  return CallNextHookEx(hook, code, wparam, lparam);
}

}  // namespace

MessageBoxWatch::MessageBoxWatch() {
  first_ = shown.size();
  if (hook == nullptr) hook = SetWindowsHookExA(WH_CBT, on_cbt, nullptr, GetCurrentThreadId());
}

MessageBoxWatch::~MessageBoxWatch() = default;

std::vector<ShownBox> MessageBoxWatch::boxes() const {
  return std::vector<ShownBox>(shown.begin() + first_, shown.end());
}

}  // namespace test_support

#else

#include "headless_win32/headless.h"

namespace test_support {

MessageBoxWatch::MessageBoxWatch() { first_ = headless::message_boxes().size(); }

MessageBoxWatch::~MessageBoxWatch() = default;

std::vector<ShownBox> MessageBoxWatch::boxes() const {
  std::vector<ShownBox> out;
  std::vector<headless::MessageBoxCall> all = headless::message_boxes();
  for (std::size_t i = first_; i < all.size(); ++i)
    out.push_back(
        {all[i].owner, all[i].text, all[i].caption, (all[i].type & MB_ICONINFORMATION) != 0});
  return out;
}

}  // namespace test_support

#endif

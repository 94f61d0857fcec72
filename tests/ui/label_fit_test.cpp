// The English labels fit their controls: measured with the dialog's own font on Windows (the
// headless layer has no fonts to measure with).
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <string>

#include "module/ui/ui.h"

namespace {

INT_PTR CALLBACK quiet_dialog(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

TEST(DialogLabels, EnglishLabelsFitTheirControlsAtTheTemplateFontSize) {
  HINSTANCE self = GetModuleHandleW(nullptr);
  // The preview controls' classes, as the module registers them, drawing nothing.
  for (const wchar_t* name : {L"big_view", L"small_view"}) {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = self;
    window_class.lpszClassName = name;
    RegisterClassW(&window_class);
  }
  HWND dialog = CreateDialogParamW(self, L"FILTERDLG", nullptr, quiet_dialog, 0);
  ASSERT_NE(dialog, nullptr);
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
  ASSERT_NE(font, nullptr);
  HDC dc = GetDC(dialog);
  HGDIOBJ old_font = SelectObject(dc, font);
  // Room beside a radio button's or check box's mark, and inside a push button's edges.
  const int mark = GetSystemMetrics(SM_CXMENUCHECK) + 4;
  for (const EnglishLabel& label : kEnglishLabels) {
    std::wstring text(label.text);
    SCOPED_TRACE(label.id);
    HWND control = GetDlgItem(dialog, label.id);
    ASSERT_NE(control, nullptr);
    RECT client{};
    GetClientRect(control, &client);
    SIZE size{};
    ASSERT_TRUE(GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size));
    LONG style = GetWindowLongW(control, GWL_STYLE);
    wchar_t class_name[16] = {};
    GetClassNameW(control, class_name, 16);
    int room = client.right;
    if (std::wstring(class_name) == L"Button")
      room -= (style & 0xF) == BS_PUSHBUTTON || (style & 0xF) == BS_DEFPUSHBUTTON ? 6 : mark;
    EXPECT_LE(size.cx, room) << "label " << label.id << " needs " << size.cx << " pixels";
    EXPECT_LE(size.cy, client.bottom);
  }
  SelectObject(dc, old_font);
  ReleaseDC(dialog, dc);
  DestroyWindow(dialog);
  for (const wchar_t* name : {L"big_view", L"small_view"}) UnregisterClassW(name, self);
}

}  // namespace
#endif

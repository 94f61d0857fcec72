// headless_win32's windows: class registration, the window tree with its geometry and
// messages, and modal dialogs built from the module's own dialog template.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "headless_win32/headless.h"

namespace {

HINSTANCE self() { return GetModuleHandleA(nullptr); }

struct Message {
  HWND window;
  UINT message;
  bool operator==(const Message& other) const {
    return window == other.window && message == other.message;
  }
};
std::vector<Message> g_messages;  // WM_CREATE, WM_DESTROY and WM_CLOSE seen by test windows
LPVOID g_create_params = nullptr;
LRESULT g_create_answer = 0;

LRESULT CALLBACK logging_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CREATE || message == WM_DESTROY || message == WM_CLOSE)
    g_messages.push_back({window, message});
  if (message == WM_CREATE) {
    g_create_params = reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams;
    return g_create_answer;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

HWND create(const char* class_name, DWORD style, int x, int y, int width, int height,
            HWND parent = nullptr, int id = 0, LPVOID param = nullptr) {
  return CreateWindowExA(0, class_name, "", style, x, y, width, height, parent,
                         reinterpret_cast<HMENU>(intptr_t{id}), self(), param);
}

RECT window_rect(HWND window) {
  RECT r{-1, -1, -1, -1};
  GetWindowRect(window, &r);
  return r;
}

RECT client_rect(HWND window) {
  RECT r{-1, -1, -1, -1};
  GetClientRect(window, &r);
  return r;
}

void expect_rect(const RECT& r, LONG left, LONG top, LONG right, LONG bottom) {
  EXPECT_EQ(r.left, left);
  EXPECT_EQ(r.top, top);
  EXPECT_EQ(r.right, right);
  EXPECT_EQ(r.bottom, bottom);
}

class HeadlessWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    headless::reset_display_settings();
    g_messages.clear();
    g_create_answer = 0;
    // The preview classes of a module run that never finished may still be registered.
    UnregisterClassA("big_view", self());
    UnregisterClassA("small_view", self());
    before_ = headless::display_counts();
  }
  void TearDown() override {
    for (const std::string& name : registered_) UnregisterClassA(name.c_str(), self());
    headless::reset_display_settings();
    EXPECT_EQ(headless::display_counts().windows, before_.windows) << "windows left alive";
  }
  ATOM register_class(const char* name, HINSTANCE instance = self()) {
    WNDCLASSA c{};
    c.style = CS_HREDRAW | CS_VREDRAW;
    c.lpfnWndProc = logging_procedure;
    c.hInstance = instance;
    c.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    c.lpszClassName = name;
    ATOM atom = RegisterClassA(&c);
    if (atom != 0 && instance == self()) registered_.push_back(name);
    return atom;
  }

  headless::DisplayCounts before_;
  std::vector<std::string> registered_;
};

TEST_F(HeadlessWindows, ClassNamesAreUniquePerInstanceWithoutRegardToCase) {
  std::size_t classes_before = headless::registered_classes().size();
  ATOM atom = register_class("big_view");
  ASSERT_NE(atom, 0);
  EXPECT_EQ(register_class("BIG_VIEW"), 0);
  EXPECT_EQ(GetLastError(), 1410u);
  int tag = 0;
  auto other = reinterpret_cast<HINSTANCE>(&tag);
  EXPECT_EQ(register_class("Big_View", other), atom);  // another module's class, the same atom
  auto names = headless::registered_classes();
  ASSERT_EQ(names.size(), classes_before + 2);
  EXPECT_EQ(names[classes_before], "big_view");
  EXPECT_EQ(names[classes_before + 1], "Big_View");
  EXPECT_TRUE(UnregisterClassA("BIG_view", other));
  EXPECT_EQ(register_class("big_view"), 0);  // this module's class is still there
  EXPECT_EQ(headless::registered_classes().size(), classes_before + 1);
}

TEST_F(HeadlessWindows, UnregisteringFailsQuietlyWhenAbsentAndTheNameCanBeRegisteredAgain) {
  EXPECT_FALSE(UnregisterClassA("never_registered", self()));
  EXPECT_EQ(GetLastError(), 1411u);
  ASSERT_NE(register_class("small_view"), 0);
  EXPECT_TRUE(UnregisterClassA("small_view", self()));
  EXPECT_FALSE(UnregisterClassA("small_view", self()));
  EXPECT_EQ(GetLastError(), 1411u);
  HWND refused = create("small_view", WS_POPUP, 0, 0, 10, 10);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(GetLastError(), 1407u);
  EXPECT_NE(register_class("small_view"), 0);
}

TEST_F(HeadlessWindows, AClassCannotBeUnregisteredWhileItHasWindows) {
  ASSERT_NE(register_class("big_view"), 0);
  HWND window = create("big_view", WS_POPUP, 0, 0, 10, 10);
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(UnregisterClassA("big_view", self()));
  EXPECT_EQ(GetLastError(), 1412u);
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_TRUE(UnregisterClassA("big_view", self()));
}

TEST_F(HeadlessWindows, BuiltInClassesAndTheArrowCursorNeedNoRegistration) {
  for (const char* name : {"button", "EDIT", "Static", "scrollbar"}) {
    HWND window = create(name, WS_POPUP, 0, 0, 10, 10);
    ASSERT_NE(window, nullptr) << name;
    EXPECT_TRUE(DestroyWindow(window));
  }
  for (const std::string& name : headless::registered_classes()) EXPECT_NE(name, "button");
  HCURSOR arrow = LoadCursorA(nullptr, IDC_ARROW);
  EXPECT_NE(arrow, nullptr);
  EXPECT_EQ(LoadCursorA(nullptr, IDC_ARROW), arrow);
  EXPECT_EQ(LoadCursorA(self(), IDC_ARROW), nullptr);  // the program carries no cursors
}

TEST_F(HeadlessWindows, CreationSendsWmCreateAndDestructionReachesParentsBeforeChildren) {
  ASSERT_NE(register_class("big_view"), 0);
  int tag = 0;
  HWND top = create("big_view", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, 0, &tag);
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(g_create_params, &tag);
  HWND child = create("big_view", WS_CHILD | WS_VISIBLE, 0, 0, 50, 50, top, 7);
  HWND grandchild = create("big_view", WS_CHILD, 0, 0, 10, 10, child, 8);
  HWND second = create("big_view", WS_CHILD, 60, 0, 50, 50, top, 9);
  HWND popup = create("big_view", WS_POPUP, 0, 0, 50, 50, child);  // owned by top
  ASSERT_TRUE(child && grandchild && second && popup);

  auto info = headless::window_info(top);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->children, (std::vector<HWND>{child, second}));
  EXPECT_EQ(headless::window_info(popup)->owner, top);
  EXPECT_EQ(headless::window_info(popup)->parent, nullptr);
  EXPECT_EQ(headless::window_info(grandchild)->parent, child);
  EXPECT_EQ(GetDlgItem(top, 7), child);
  EXPECT_EQ(GetDlgItem(top, 8), nullptr);  // only direct children count
  EXPECT_EQ(GetLastError(), 1421u);
  EXPECT_EQ(GetDlgCtrlID(grandchild), 8);
  EXPECT_EQ(GetDlgCtrlID(top), 0);

  g_messages.clear();
  EXPECT_TRUE(DestroyWindow(top));
  EXPECT_EQ(g_messages, (std::vector<Message>{{popup, WM_DESTROY},
                                              {top, WM_DESTROY},
                                              {child, WM_DESTROY},
                                              {grandchild, WM_DESTROY},
                                              {second, WM_DESTROY}}));
  for (HWND gone : {top, child, grandchild, second, popup}) EXPECT_FALSE(IsWindow(gone));
  EXPECT_FALSE(DestroyWindow(top));
  EXPECT_EQ(GetLastError(), 1400u);
}

TEST_F(HeadlessWindows, AWindowAnsweringWmCreateWithMinusOneIsNotCreated) {
  ASSERT_NE(register_class("big_view"), 0);
  g_create_answer = -1;
  EXPECT_EQ(create("big_view", WS_POPUP, 0, 0, 10, 10), nullptr);
  ASSERT_EQ(g_messages.size(), 2u);
  EXPECT_EQ(g_messages[0].message, UINT{WM_CREATE});
  EXPECT_EQ(g_messages[1].message, UINT{WM_DESTROY});
}

TEST_F(HeadlessWindows, StaleAndMissingHandlesFail) {
  EXPECT_EQ(create("static", WS_CHILD, 0, 0, 10, 10), nullptr);
  EXPECT_EQ(GetLastError(), 1406u);
  HWND gone = create("static", WS_POPUP, 0, 0, 10, 10);
  ASSERT_TRUE(DestroyWindow(gone));
  HWND fresh = create("static", WS_POPUP, 0, 0, 10, 10);  // never takes the old handle
  EXPECT_NE(fresh, gone);
  EXPECT_FALSE(IsWindow(gone));
  EXPECT_EQ(create("static", WS_CHILD, 0, 0, 10, 10, gone), nullptr);
  EXPECT_EQ(GetLastError(), 1400u);
  RECT r;
  EXPECT_FALSE(GetClientRect(gone, &r));
  EXPECT_FALSE(GetWindowRect(gone, &r));
  EXPECT_FALSE(MoveWindow(gone, 0, 0, 5, 5, TRUE));
  EXPECT_EQ(GetDlgCtrlID(gone), 0);
  EXPECT_EQ(GetDlgItem(gone, 1), nullptr);
  EXPECT_EQ(SendMessageA(gone, WM_CLOSE, 0, 0), 0);
  EXPECT_EQ(GetLastError(), 1400u);
  EXPECT_EQ(headless::window_pixel(gone, 0, 0), CLR_INVALID);
  EXPECT_FALSE(headless::window_info(gone).has_value());
  EXPECT_TRUE(DestroyWindow(fresh));
}

TEST_F(HeadlessWindows, FramesTakeBorderAndCaptionFromTheClientArea) {
  HWND top = create("static", WS_POPUP | WS_CAPTION, 10, 20, 200, 100);
  HWND framed = create("static", WS_CHILD | WS_BORDER, 5, 6, 50, 40, top, 1);
  HWND plain = create("static", WS_CHILD, 0, 0, 30, 20, top, 2);
  expect_rect(window_rect(top), 10, 20, 210, 120);
  expect_rect(client_rect(top), 0, 0, 198, 78);
  expect_rect(window_rect(framed), 16, 47, 66, 87);  // inside the caption and the frame
  expect_rect(client_rect(framed), 0, 0, 48, 38);
  expect_rect(client_rect(plain), 0, 0, 30, 20);
  EXPECT_EQ(GetSystemMetrics(SM_CYCAPTION), 20);
  EXPECT_EQ(GetSystemMetrics(SM_CXBORDER), 1);
  DestroyWindow(top);
}

TEST_F(HeadlessWindows, MovingResizesTheFramebufferAndCarriesTheChildren) {
  HWND top = create("static", WS_POPUP | WS_BORDER, 0, 0, 100, 100);
  HWND child = create("static", WS_CHILD | WS_BORDER, 10, 10, 50, 40, top, 1);
  EXPECT_EQ(headless::window_pixel(child, 47, 37), 0u);  // black until painted
  EXPECT_EQ(headless::window_pixel(child, 48, 0), CLR_INVALID);
  EXPECT_EQ(headless::window_pixel(child, 0, -1), CLR_INVALID);

  EXPECT_TRUE(MoveWindow(child, 20, 30, 80, 60, TRUE));
  expect_rect(window_rect(child), 21, 31, 101, 91);
  expect_rect(client_rect(child), 0, 0, 78, 58);
  EXPECT_EQ(headless::window_pixel(child, 77, 57), 0u);
  EXPECT_EQ(headless::window_pixel(child, 78, 0), CLR_INVALID);

  EXPECT_TRUE(MoveWindow(top, 100, 200, 300, 300, FALSE));
  expect_rect(window_rect(child), 121, 231, 201, 291);

  EXPECT_TRUE(MoveWindow(child, 0, 0, -5, 1, TRUE));  // sizes below the frame leave no client
  expect_rect(client_rect(child), 0, 0, 0, 0);
  EXPECT_EQ(headless::window_pixel(child, 0, 0), CLR_INVALID);
  DestroyWindow(top);
}

TEST_F(HeadlessWindows, TheScreenIsConfigurableAndSizesDefaultWindows) {
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1024);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 768);
  headless::set_screen_size(800, 600);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 800);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 600);
  HWND window = create("static", WS_OVERLAPPED, CW_USEDEFAULT, 5, CW_USEDEFAULT, 5);
  expect_rect(window_rect(window), 0, 0, 600, 450);
  DestroyWindow(window);
}

TEST_F(HeadlessWindows, WmCloseDestroysAPlainWindowByDefault) {
  ASSERT_NE(register_class("big_view"), 0);
  HWND window = create("big_view", WS_POPUP, 0, 0, 10, 10);
  g_messages.clear();
  EXPECT_EQ(SendMessageA(window, WM_CLOSE, 0, 0), 0);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(g_messages, (std::vector<Message>{{window, WM_CLOSE}, {window, WM_DESTROY}}));
}

// --- dialogs from the module's template ---

struct DialogRun {
  std::vector<UINT> messages;  // everything the dialog procedure saw
  WPARAM init_wparam = 0;
  LPARAM init_lparam = 0;
  WPARAM command = 0;
  LPARAM command_control = 0;
  bool end_in_init = true;
  INT_PTR end_value = 77;
  std::function<void(HWND)> on_init;  // looks at the dialog while it is up
};
DialogRun* g_run = nullptr;

INT_PTR CALLBACK recording_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  g_run->messages.push_back(message);
  if (message == WM_INITDIALOG) {
    g_run->init_wparam = wparam;
    g_run->init_lparam = lparam;
    if (g_run->on_init) g_run->on_init(dialog);
    if (g_run->end_in_init) EndDialog(dialog, g_run->end_value);
    return TRUE;
  }
  if (message == WM_COMMAND) {
    g_run->command = wparam;
    g_run->command_control = lparam;
    EndDialog(dialog, 9);
    return TRUE;
  }
  return FALSE;
}

class HeadlessDialog : public HeadlessWindows {
 protected:
  void SetUp() override {
    HeadlessWindows::SetUp();
    ASSERT_NE(register_class("big_view"), 0);
    ASSERT_NE(register_class("small_view"), 0);
    g_run = &run_;
  }
  void TearDown() override {
    g_run = nullptr;
    HeadlessWindows::TearDown();
  }
  INT_PTR open(HWND owner = nullptr, LPARAM param = 0, const char* name = "FILTERDLG") {
    return DialogBoxParamA(self(), name, owner, recording_dialog, param);
  }

  DialogRun run_;
};

struct ExpectedControl {
  int id;
  const char* class_name;
  const char* text;
};
const ExpectedControl kControls[] = {
    {100, "big_view", ""},       {101, "small_view", ""},     {102, "button", "预览"},
    {2, "button", "取消"},       {1, "button", "确定"},       {103, "button", "还原"},
    {250, "button", "平行线"},   {251, "button", "直角区域"}, {252, "button", "混和平行"},
    {223, "button", "淡入淡出"}, {152, "static", "角度:"},    {110, "static", "区域:"},
    {227, "static", "间距:"},    {112, "static", "强度:"},    {153, "edit", ""},
    {115, "edit", ""},           {228, "edit", ""},           {117, "edit", ""},
    {154, "scrollbar", ""},      {120, "scrollbar", ""},      {229, "scrollbar", ""},
    {122, "scrollbar", ""}};

TEST_F(HeadlessDialog, BuildsTheModuleTemplateWithItsControlsInTemplateOrder) {
  HWND owner = create("static", WS_POPUP | WS_CAPTION, 100, 50, 600, 400);
  HWND preview_button = nullptr;
  run_.on_init = [&](HWND dialog) {
    preview_button = GetDlgItem(dialog, 102);  // the first control with WS_TABSTOP
    auto info = headless::window_info(dialog);
    ASSERT_TRUE(info.has_value());
    EXPECT_TRUE(info->is_dialog);
    EXPECT_EQ(info->owner, owner);
    EXPECT_EQ(info->text, "Zorbel - Halcyrion 2026, free to use and share");
    ASSERT_EQ(info->children.size(), 22u);
    for (std::size_t i = 0; i < 22; ++i) {
      auto control = headless::window_info(info->children[i]);
      ASSERT_TRUE(control.has_value());
      EXPECT_EQ(control->id, kControls[i].id) << i;
      EXPECT_EQ(control->class_name, kControls[i].class_name) << i;
      EXPECT_EQ(control->text, kControls[i].text) << i;
      EXPECT_EQ(control->parent, dialog);
      EXPECT_EQ(GetDlgItem(dialog, kControls[i].id), info->children[i]);
    }
    // 340 x 211 units: 510 x 316.5 pixels, rounded to 317. The owner's client area starts
    // at (101, 71); the template puts the dialog's 30 pixels below it.
    expect_rect(client_rect(dialog), 0, 0, 510, 317);
    expect_rect(window_rect(dialog), 100, 80, 612, 419);
    expect_rect(client_rect(GetDlgItem(dialog, 100)), 0, 0, 268, 268);
    expect_rect(client_rect(GetDlgItem(dialog, 101)), 0, 0, 133, 133);
    expect_rect(window_rect(GetDlgItem(dialog, 102)), 101 + 435, 101 + 8, 101 + 495, 101 + 29);
  };
  EXPECT_EQ(open(owner, 1234), 77);
  EXPECT_EQ(run_.init_wparam, reinterpret_cast<WPARAM>(preview_button));
  EXPECT_EQ(run_.init_lparam, 1234);
  // Ended inside WM_INITDIALOG: no modal loop, only the destruction follows.
  EXPECT_EQ(run_.messages, (std::vector<UINT>{WM_INITDIALOG, WM_DESTROY}));
  EXPECT_FALSE(headless::last_dialog_ran_out_of_script());
  DestroyWindow(owner);
}

struct BaseUnitCase {
  int x, y;
  LONG view_width, view_height;  // client size of control 100 (180 x 180 units, WS_BORDER)
  LONG dialog_width, dialog_height;
};

TEST_F(HeadlessDialog, BaseUnitsScaleEveryControlRoundingToNearest) {
  const BaseUnitCase cases[] = {
      {6, 12, 268, 268, 510, 317},
      {8, 16, 358, 358, 680, 422},
      {7, 13, 313, 291, 595, 343},  // 292.5 and 342.875 pixels round up
      {5, 10, 223, 223, 425, 264},  // 263.75
  };
  for (const BaseUnitCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << " x " << c.y);
    headless::set_dialog_base_units(c.x, c.y);
    RECT view{}, dialog_client{};
    run_.on_init = [&](HWND dialog) {
      view = client_rect(GetDlgItem(dialog, 100));
      dialog_client = client_rect(dialog);
    };
    EXPECT_EQ(open(), 77);
    expect_rect(view, 0, 0, c.view_width, c.view_height);
    expect_rect(dialog_client, 0, 0, c.dialog_width, c.dialog_height);
  }
}

TEST_F(HeadlessDialog, WindowsLookGivesBorderedControlsASunkenEdge) {
  // Windows measures control 100 at 311 x 311 with its 9-point SimSun (base units 7 x 14).
  headless::set_dialog_base_units(7, 14);
  headless::set_dialog_3d_look(true);
  RECT view{};
  run_.on_init = [&](HWND dialog) { view = client_rect(GetDlgItem(dialog, 100)); };
  EXPECT_EQ(open(), 77);
  headless::set_dialog_3d_look(false);
  expect_rect(view, 0, 0, 311, 311);
}

TEST_F(HeadlessDialog, DialogsAreKeptOnTheScreen) {
  HWND owner = create("static", WS_POPUP, 900, 700, 100, 50);
  RECT placed{};
  run_.on_init = [&](HWND dialog) { placed = window_rect(dialog); };
  EXPECT_EQ(open(owner), 77);
  expect_rect(placed, 1024 - 512, 768 - 339, 1024, 768);
  DestroyWindow(owner);
}

TEST_F(HeadlessDialog, AControlOfAnUnregisteredClassFailsTheDialogBeforeItsProcedure) {
  ASSERT_TRUE(UnregisterClassA("small_view", self()));
  std::size_t windows_before = headless::display_counts().windows;
  g_messages.clear();
  EXPECT_EQ(open(), -1);
  EXPECT_EQ(GetLastError(), 1407u);
  EXPECT_TRUE(run_.messages.empty());
  EXPECT_EQ(headless::display_counts().windows, windows_before);
  // The big view had been made; it went again.
  ASSERT_EQ(g_messages.size(), 2u);
  EXPECT_EQ(g_messages[0].message, UINT{WM_CREATE});
  EXPECT_EQ(g_messages[1], (Message{g_messages[0].window, WM_DESTROY}));
}

TEST_F(HeadlessDialog, AMissingTemplateOrADeadOwnerFailsBeforeTheProcedure) {
  EXPECT_EQ(open(nullptr, 0, "NO_SUCH_DIALOG"), -1);
  HWND gone = create("static", WS_POPUP, 0, 0, 10, 10);
  DestroyWindow(gone);
  EXPECT_EQ(open(gone), -1);
  EXPECT_EQ(GetLastError(), 1400u);
  EXPECT_TRUE(run_.messages.empty());
}

TEST_F(HeadlessDialog, ADialogLeftOpenIsCancelledWhenTheScriptRunsOut) {
  run_.end_in_init = false;
  EXPECT_EQ(open(), IDCANCEL);
  EXPECT_TRUE(headless::last_dialog_ran_out_of_script());
  // Shown, so painted (its background erased first) once before the loop finds no step.
  EXPECT_EQ(run_.messages, (std::vector<UINT>{WM_INITDIALOG, WM_PAINT, WM_ERASEBKGND, WM_DESTROY}));
  run_.end_in_init = true;
  EXPECT_EQ(open(), 77);
  EXPECT_FALSE(headless::last_dialog_ran_out_of_script());  // it tells of the last dialog only
}

TEST_F(HeadlessDialog, WmCloseAsksTheDialogProcedureForCancel) {
  HWND cancel_button = nullptr;
  run_.end_in_init = false;
  run_.on_init = [&](HWND dialog) {
    cancel_button = GetDlgItem(dialog, IDCANCEL);
    SendMessageA(dialog, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(dialog));  // a dialog is not destroyed by WM_CLOSE
  };
  EXPECT_EQ(open(), 9);  // the procedure's own answer to the command
  EXPECT_EQ(run_.command, WPARAM{IDCANCEL});
  EXPECT_EQ(run_.command_control, reinterpret_cast<LPARAM>(cancel_button));
  EXPECT_FALSE(headless::last_dialog_ran_out_of_script());
}

TEST_F(HeadlessDialog, EndDialogNeedsALiveDialog) {
  HWND plain = create("static", WS_POPUP, 0, 0, 10, 10);
  EXPECT_FALSE(EndDialog(plain, 1));
  EXPECT_EQ(GetLastError(), 1420u);
  HWND dialog = nullptr;
  run_.on_init = [&](HWND d) { dialog = d; };
  EXPECT_EQ(open(), 77);
  EXPECT_FALSE(EndDialog(dialog, 1));
  EXPECT_EQ(GetLastError(), 1400u);
  DestroyWindow(plain);
}

}  // namespace

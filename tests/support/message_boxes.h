// Watches the message boxes the code under test shows, on both builds: headless_win32
// records them; on Windows a hook on this thread reads each box as it opens and presses OK.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test_support {

struct ShownBox {
  HWND owner;
  std::string text;
  std::string caption;
  bool information_icon;  // shown with MB_ICONINFORMATION
};

class MessageBoxWatch {
 public:
  MessageBoxWatch();
  ~MessageBoxWatch();
  MessageBoxWatch(const MessageBoxWatch&) = delete;
  MessageBoxWatch& operator=(const MessageBoxWatch&) = delete;

  // Boxes shown since the watch began, oldest first.
  std::vector<ShownBox> boxes() const;

 private:
  std::size_t first_ = 0;
};

}  // namespace test_support

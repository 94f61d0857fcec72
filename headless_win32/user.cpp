// USER32 for a machine without a screen: message boxes and beeps are recorded for tests and
// answered at once (OK).
#include <mutex>

#include "headless_win32/headless.h"

namespace {

struct Records {
  std::mutex mutex;
  std::vector<headless::MessageBoxCall> boxes;
  std::vector<UINT> beeps;
};

Records& records() {
  static Records& r = *new Records;  // never destroyed
  return r;
}

}  // namespace

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  Records& r = records();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.boxes.push_back(
      {owner, text != nullptr ? text : "", caption != nullptr ? caption : "Error", type});
  return IDOK;
}

BOOL MessageBeep(UINT type) {
  Records& r = records();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.beeps.push_back(type);
  return TRUE;
}

namespace headless {

std::vector<MessageBoxCall> message_boxes() {
  Records& r = records();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.boxes;
}

std::vector<UINT> beeps() {
  Records& r = records();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.beeps;
}

void clear_records() {
  Records& r = records();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.boxes.clear();
  r.beeps.clear();
}

}  // namespace headless

// What image kinds mean to the host, on every platform, and the list of temporary outputs an
// interruption removes.
#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>

#include "image_files/image_io.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace image_io {

int32_t color_planes(Kind kind) {
  switch (kind) {
    case Kind::kGray:
    case Kind::kGrayAlpha:
      return 1;
    case Kind::kCmyk:
      return 4;
    default:
      return 3;
  }
}

int16_t image_mode(Kind kind) {
  switch (kind) {
    case Kind::kGray:
    case Kind::kGrayAlpha:
      return filter_api::plugInModeGrayScale;
    case Kind::kCmyk:
      return filter_api::plugInModeCMYKColor;
    default:
      return filter_api::plugInModeRGBColor;
  }
}

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::kGray:
      return "gray";
    case Kind::kGrayAlpha:
      return "gray with alpha";
    case Kind::kRgb:
      return "RGB";
    case Kind::kRgba:
      return "RGBA";
    case Kind::kCmyk:
      return "CMYK";
  }
  return "?";
}

// --- temporary outputs and interruptions ---

namespace {

// Fixed slots, so that the interruption handler reads them without allocating or locking: a
// slot's name is complete before it is marked used.
constexpr std::size_t kSlots = 64;
constexpr std::size_t kNameBytes = 4096;
struct PartialSlot {
  std::atomic<bool> used{false};
  char name[kNameBytes] = {};
};
std::array<PartialSlot, kSlots> partial_slots;
std::mutex partial_mutex;

// Ctrl+C while a run can be stopped: 0 no run, 1 a run, 2 a run asked to stop. Read and
// changed by the interruption handler, so lock-free.
enum : int { kNoRun, kStoppableRun, kStopAsked };
std::atomic<int> run_stop{kNoRun};
static_assert(std::atomic<int>::is_always_lock_free);

// Whether this interruption only asks the running filter to stop.
bool asks_run_to_stop() {
  int running = kStoppableRun;
  return run_stop.compare_exchange_strong(running, kStopAsked);
}

void remove_listed_outputs() {
  for (PartialSlot& slot : partial_slots) {
    if (!slot.used.load()) continue;
#ifdef _WIN32
    wchar_t wide[kNameBytes];
    if (MultiByteToWideChar(CP_UTF8, 0, slot.name, -1, wide, int(kNameBytes)) > 0)
      DeleteFileW(wide);
#else
    unlink(slot.name);
#endif
  }
}

#ifdef _WIN32
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT && asks_run_to_stop()) return TRUE;
  remove_listed_outputs();
  ExitProcess(event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 130 : 143);
  return TRUE;
}
#else
extern "C" void on_signal(int number) {
  if (number == SIGINT && asks_run_to_stop()) return;
  remove_listed_outputs();
  _exit(128 + number);
}
#endif

}  // namespace

std::string temporary_beside(const std::string& path) {
  static std::atomic<unsigned> serial{0};
#ifdef _WIN32
  const unsigned long process = GetCurrentProcessId();
#else
  const long process = long(getpid());
#endif
  return path + ".zorbel-tmp-" + std::to_string(process) + "-" + std::to_string(serial++);
}

void begin_partial_output(const std::string& temporary) {
  if (temporary.size() >= kNameBytes) return;
  std::lock_guard<std::mutex> lock(partial_mutex);
  for (PartialSlot& slot : partial_slots) {
    if (slot.used.load()) continue;
    std::memcpy(slot.name, temporary.c_str(), temporary.size() + 1);
    slot.used.store(true);
    return;
  }
}

void end_partial_output(const std::string& temporary) {
  std::lock_guard<std::mutex> lock(partial_mutex);
  for (PartialSlot& slot : partial_slots)
    if (slot.used.load() && temporary == slot.name) slot.used.store(false);
}

void begin_stoppable_run() { run_stop.store(kStoppableRun); }

bool stop_requested() { return run_stop.load() == kStopAsked; }

bool end_stoppable_run() { return run_stop.exchange(kNoRun) == kStopAsked; }

void remove_partial_outputs_on_interrupt() {
#ifdef _WIN32
  SetConsoleCtrlHandler(on_console_event, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
}

}  // namespace image_io

// What the two harnesses that run the module share: the module's code linked in and loaded
// afresh for every input, the input read as a stream of choices, and the check that a run
// left nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "headless_win32/headless.h"
#include "plugin_host/plugin_host.h"

namespace fuzz_fixture {

// The input as a stream of choices; zeros once it runs out.
class Choices {
 public:
  Choices(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t u16() { return uint16_t(byte() | (byte() << 8)); }
  uint32_t u32() { return uint32_t(u16()) | (uint32_t(u16()) << 16); }
  // A number in [low, high], high - low below 65536.
  int32_t in(int32_t low, int32_t high) {
    uint32_t span = uint32_t(high - low) + 1;
    return low + int32_t((span <= 256 ? byte() : u16()) % span);
  }
  bool flag() { return (byte() & 1) != 0; }
  std::size_t left() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Prints what failed and aborts, so that libFuzzer keeps the input.
void check(bool holds, const char* what);

// The module as if just loaded (its state record zero, DllMain called), a host library
// module over it with no stored parameters, and headless_win32's settings, records and
// fault injection back to their defaults.
std::unique_ptr<plugin_host::Module> fresh_module();

// The host's main window, owner of the module's dialogs.
HWND host_window();

// What lives in headless_win32 before a run.
struct Alive {
  std::size_t blocks = 0, bytes = 0;
  headless::DisplayCounts display;
};
Alive alive_now();
// Everything alive now was alive at `before`, but for `extra_blocks` blocks (the stored
// parameters the host keeps), and no timer runs.
void check_nothing_left(const Alive& before, std::size_t extra_blocks);

}  // namespace fuzz_fixture

// The fuzz harnesses' module fixture.
#include "fuzz/module_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "module/host/host.h"
#include "module/module_state.h"

namespace fuzz_fixture {

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

HWND host_window() {
  static HWND window = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                       nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  return window;
}

std::unique_ptr<plugin_host::Module> fresh_module() {
  static bool registered = [] {
    headless::set_main_resources(headless_resources, headless_resources_size);
    return true;
  }();
  (void)registered;
  host_window();
  headless::reset_display_settings();
  headless::set_display_depth(24, 1);
  headless::fail_gdi_creation(0);
  headless::reset_memory_stats();
  headless::clear_records();
  headless::set_ui_script("");
  headless::set_ui_observer(nullptr);
  module_state = ModuleState{};
  DllMain(GetModuleHandleA(nullptr), DLL_PROCESS_ATTACH, nullptr);
  std::string why;
  auto module = plugin_host::Module::linked(GetModuleHandleA(nullptr), ENTRYPOINT1, &why);
  check(module != nullptr, "the linked module reads its own PiPL");
  return module;
}

Alive alive_now() {
  headless::MemoryStats memory = headless::memory_stats();
  return Alive{memory.live_blocks, memory.live_bytes, headless::display_counts()};
}

void check_nothing_left(const Alive& before, std::size_t extra_blocks) {
  Alive now = alive_now();
  check(now.blocks == before.blocks + extra_blocks, "no memory block is left behind");
  check(now.display.windows == before.display.windows, "no window is left behind");
  check(now.display.window_dcs == before.display.window_dcs, "every GetDC is released");
  check(now.display.memory_dcs == before.display.memory_dcs, "no memory DC is left behind");
  check(now.display.bitmaps == before.display.bitmaps, "no bitmap is left behind");
  check(now.display.pens == before.display.pens, "no pen is left behind");
  check(now.display.brushes == before.display.brushes, "no brush is left behind");
  check(headless::timers().empty(), "no timer is left running");
}

}  // namespace fuzz_fixture

// The final pass through the host, per output pixel, at the default and the heaviest
// settings on a 6000 x 4000 RGB picture, beside a plain copy of the same bytes; a full
// 512 x 512 preview-sized run; and Continue calls per output row with a reduced working
// image, with the module's peak memory against maxSpace; the dialog's full render of a
// 512 x 512 preview.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>

#include "headless_win32/headless.h"
#include "module/engine/engine.h"
#include "module/host/host.h"
#include "module/module_state.h"
#include "module/preview/preview.h"
#include "plugin_host/plugin_host.h"

namespace {

plugin_host::Module& module() {
  static std::unique_ptr<plugin_host::Module> m = [] {
    std::string why;
    return plugin_host::Module::linked(GetModuleHandleA(nullptr), ENTRYPOINT1, &why);
  }();
  return *m;
}

HWND window() {
  static HWND w = CreateWindowExA(0, "STATIC", "bench", 0, 0, 0, 100, 100, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
  return w;
}

plugin_host::Image picture(int32_t width, int32_t height) {
  plugin_host::Image image(width, height, 3);
  uint32_t state = 1;
  for (uint8_t& b : image.pixels) {
    state = state * 1664525u + 1013904223u;
    b = uint8_t(state >> 24);
  }
  return image;
}

std::vector<uint8_t> record(int16_t regions, int16_t mode, int16_t fade, int16_t cx, int16_t cy) {
  ParameterRecord r{cx, cy, regions, 100, 50, 50, mode, fade, 0};
  std::vector<uint8_t> bytes(sizeof r);
  std::memcpy(bytes.data(), &r, sizeof r);
  return bytes;
}

// How the host hands over its pixels: pointers into its own image (as editors that keep the
// picture in memory do), or a fresh copy of every requested rectangle on every call.
enum class Host { kPointing, kCopying };

// Nanoseconds per pixel of the plain copy, measured first in every run of the benchmarks.
double plain_copy_ns = 0;

void run_filter(benchmark::State& state, int32_t width, int32_t height, std::vector<uint8_t> stored,
                int32_t max_space, Host host = Host::kPointing,
                const std::vector<uint8_t>* selection = nullptr) {
  plugin_host::Image source = picture(width, height);
  plugin_host::RunOptions options;
  options.window = window();
  options.reuse_buffers = host == Host::kPointing;
  options.point_into_image = host == Host::kPointing;
  options.selection = selection;
  options.max_space = max_space;
  plugin_host::Image destination = source;  // the editor's layer, reused run after run
  options.destination = &destination;
  int64_t calls = 0;
  std::size_t peak = 0;
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    module().set_parameters(stored);
    headless::reset_memory_stats();
    std::size_t baseline = headless::memory_stats().live_bytes;
    state.ResumeTiming();
    auto begin = std::chrono::steady_clock::now();
    plugin_host::RunResult result = module().run(source, options);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (!result.ok()) state.SkipWithError("the run failed");
    calls = result.continue_calls;
    peak = headless::memory_stats().peak_bytes - baseline;
  }
  double pixels = double(width) * height;
  state.counters["ns_per_pixel"] = benchmark::Counter(
      pixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  // The same run's plain copy of a 6000 x 4000 picture, per pixel, as the yardstick.
  if (plain_copy_ns > 0 && state.iterations() > 0)
    state.counters["x_plain_copy"] =
        seconds * 1e9 / double(state.iterations()) / pixels / plain_copy_ns;
  state.counters["calls_per_row"] = double(calls) / height;
  state.counters["peak_MiB"] = double(peak) / (1 << 20);
  state.counters["maxSpace_MiB"] = double(max_space) / (1 << 20);
}

void BM_FinalPassDefault(benchmark::State& state) {
  run_filter(state, 6000, 4000, record(8, 0, 0, 3000, 2000), 256 << 20);
}
void BM_FinalPassHeaviest(benchmark::State& state) {
  run_filter(state, 6000, 4000, record(20, -1, 1, 3000, 2000), 256 << 20);
}
void BM_FinalPassReduced(benchmark::State& state) {
  // maxSpace below the picture: decimation, one requested row per call, the row cache.
  run_filter(state, 6000, 4000, record(8, 0, 0, 3000, 2000), 32 << 20);
}
// A host that copies every requested rectangle afresh on every call (as GIMP's 8bf host does),
// without and with a selection (an ellipse).
void BM_FinalPassCopyingHost(benchmark::State& state) {
  run_filter(state, 6000, 4000, record(8, 0, 0, 3000, 2000), 256 << 20, Host::kCopying);
}
void BM_FinalPassCopyingHostSelection(benchmark::State& state) {
  static const std::vector<uint8_t> ellipse = [] {
    std::vector<uint8_t> mask(size_t(6000) * 4000);
    for (int32_t y = 0; y < 4000; ++y)
      for (int32_t x = 0; x < 6000; ++x) {
        double u = (x - 3000) / 2500.0, v = (y - 2000) / 1500.0;
        mask[size_t(y) * 6000 + x] = u * u + v * v <= 1 ? 255 : 0;
      }
    return mask;
  }();
  run_filter(state, 6000, 4000, record(8, 0, 0, 3000, 2000), 256 << 20, Host::kCopying, &ellipse);
}
void BM_Preview512(benchmark::State& state) {
  run_filter(state, 512, 512, record(8, 0, 0, 256, 256), 256 << 20);
}

// The dialog's full render of a 512 x 512 preview (screen base units doubled so the big view
// holds it), plain and filtered at the heaviest settings, timed inside a dialog that the
// scripted user keeps open.
void render_preview(benchmark::State& state, bool filtered) {
  headless::set_dialog_base_units(12, 24);
  std::vector<uint8_t> stored = record(20, -1, 1, 1000, 1000);
  stored[16] = 1;  // show the dialog
  module().set_parameters(stored);
  headless::set_ui_script("wait-ready\nclick 2\n");
  headless::set_ui_observer([&](HWND, int line) {
    if (line != 0) return;
    ModuleState& s = module_state;
    if (s.preview.preview_width != 512 || s.preview.preview_height != 512) {
      state.SkipWithError("the preview is not 512 x 512");
      return;
    }
    s.dialog.show_result = filtered ? 1 : 0;
    set_preview_effect(EffectSettings{20, 100, 50, 50, -1, 1}, preview_to_work(s.preview.center_x),
                       preview_to_work(s.preview.center_y));
    for (auto _ : state) render_big_preview();
  });
  plugin_host::Image image = picture(2000, 2000);
  plugin_host::RunOptions options;
  options.window = window();
  module().run(image, options);
  headless::set_ui_observer(nullptr);
  headless::reset_display_settings();
}
void BM_PreviewRenderPlain(benchmark::State& state) { render_preview(state, false); }
void BM_PreviewRenderFiltered(benchmark::State& state) { render_preview(state, true); }

void BM_PlainCopy(benchmark::State& state) {
  plugin_host::Image source = picture(6000, 4000), target = source;
  auto begin = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::memcpy(target.pixels.data(), source.pixels.data(), source.pixels.size());
    benchmark::ClobberMemory();
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (state.iterations() > 0) plain_copy_ns = seconds * 1e9 / double(state.iterations()) / 24e6;
  state.counters["ns_per_pixel"] = benchmark::Counter(
      6000.0 * 4000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FinalPassDefault)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FinalPassHeaviest)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_FinalPassReduced)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FinalPassCopyingHost)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FinalPassCopyingHostSelection)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Preview512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreviewRenderPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreviewRenderFiltered)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  headless::set_main_resources(headless_resources, headless_resources_size);
  DllMain(GetModuleHandleA(nullptr), DLL_PROCESS_ATTACH, nullptr);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

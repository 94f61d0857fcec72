// halcyrion:zorbel inside GEGL beside gegl:invert-gamma on the same 6000 x 4000 R'G'B'A u8
// buffer in the same run (goal: within 1.5x at the defaults), and the gegl program end to end
// on a 6000 x 4000 PPM with each operation (goal: within 1.25x). The buffers and the picture
// are made once; every iteration builds a fresh graph, so nothing comes from GEGL's cache.
#include <benchmark/benchmark.h>
#include <gegl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

GeglBuffer* picture() {
  static GeglBuffer* buffer = [] {
    const GeglRectangle area{0, 0, kWidth, kHeight};
    std::vector<uint8_t> bytes(size_t(kWidth) * kHeight * 4);
    uint32_t state = 1;
    for (uint8_t& b : bytes) {
      state = state * 1664525u + 1013904223u;
      b = uint8_t(state >> 24);
    }
    GeglBuffer* b = gegl_buffer_new(&area, babl_format("R'G'B'A u8"));
    gegl_buffer_set(b, &area, 0, babl_format("R'G'B'A u8"), bytes.data(), GEGL_AUTO_ROWSTRIDE);
    return b;
  }();
  return buffer;
}

// Seconds per run of each operation, for the ratios printed at the end.
double invert_gamma_seconds = 0;

void run_operation(benchmark::State& state, const char* operation,
                   const std::vector<std::pair<const char*, int>>& properties) {
  GeglBuffer* input = picture();
  for (auto _ : state) {
    GeglBuffer* output = nullptr;
    GeglNode* graph = gegl_node_new();
    GeglNode* source =
        gegl_node_new_child(graph, "operation", "gegl:buffer-source", "buffer", input, nullptr);
    GeglNode* filter = gegl_node_new_child(graph, "operation", operation, nullptr);
    for (const auto& [name, value] : properties) gegl_node_set(filter, name, value, nullptr);
    GeglNode* sink =
        gegl_node_new_child(graph, "operation", "gegl:buffer-sink", "buffer", &output, nullptr);
    gegl_node_link_many(source, filter, sink, nullptr);
    gegl_node_process(sink);
    g_object_unref(graph);
    g_object_unref(output);
  }
}

void BM_InvertGamma(benchmark::State& state) {
  const auto start = std::chrono::steady_clock::now();
  run_operation(state, "gegl:invert-gamma", {});
  invert_gamma_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
      double(state.iterations());
}

void report_ratio(benchmark::State& state, std::chrono::steady_clock::time_point start) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
      double(state.iterations());
  if (invert_gamma_seconds > 0) state.counters["x_invert_gamma"] = seconds / invert_gamma_seconds;
}

void BM_ZorbelDefault(benchmark::State& state) {
  const auto start = std::chrono::steady_clock::now();
  run_operation(state, "halcyrion:zorbel", {});
  report_ratio(state, start);
}

void BM_ZorbelHeaviest(benchmark::State& state) {
  const auto start = std::chrono::steady_clock::now();
  run_operation(state, "halcyrion:zorbel", {{"regions", 20}, {"mode", 2}, {"fade", 1}});
  report_ratio(state, start);
}

BENCHMARK(BM_InvertGamma)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ZorbelDefault)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ZorbelHeaviest)->Unit(benchmark::kMillisecond)->Iterations(3);

// The gegl program on a PPM file with one operation; the median of several runs, in turns.
double median_seconds(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

double gegl_program(const std::string& ppm, const std::string& operation) {
  const std::string command = "GEGL_PATH=" ZORBEL_GEGL_DIR ":" GEGL_SYSTEM_OPERATIONS " gegl '" +
                              ppm + "' -o '" + ppm + ".out.ppm' -- " + operation +
                              " >/dev/null 2>&1";
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  if (status != 0) std::fprintf(stderr, "gegl_bench: '%s' failed\n", command.c_str());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void end_to_end(const std::string& folder) {
  mkdir(folder.c_str(), 0755);  // kept from an earlier run when it is there
  const std::string ppm = folder + "/big.ppm";
  if (std::FILE* f = std::fopen(ppm.c_str(), "rb")) {
    std::fclose(f);
  } else {
    GeglBuffer* buffer = picture();
    GeglNode* graph = gegl_node_new();
    GeglNode* source =
        gegl_node_new_child(graph, "operation", "gegl:buffer-source", "buffer", buffer, nullptr);
    GeglNode* save = gegl_node_new_child(graph, "operation", "gegl:ppm-save", "path", ppm.c_str(),
                                         "bitdepth", 8, nullptr);
    gegl_node_link(source, save);
    gegl_node_process(save);
    g_object_unref(graph);
  }
  std::vector<double> zorbel, invert;
  for (int run = 0; run < 5; ++run) {
    invert.push_back(gegl_program(ppm, "gegl:invert-gamma"));
    zorbel.push_back(gegl_program(ppm, "halcyrion:zorbel"));
  }
  const double z = median_seconds(zorbel), i = median_seconds(invert);
  std::printf(
      "\ngegl %dx%d PPM end to end, median of 5: halcyrion:zorbel %.3f s, "
      "gegl:invert-gamma %.3f s, ratio %.2f (goal 1.25)\n",
      kWidth, kHeight, z, i, z / i);
}

}  // namespace

int main(int argc, char** argv) {
  gegl_init(nullptr, nullptr);
  gegl_load_module_directory(ZORBEL_GEGL_DIR);
  if (!gegl_has_operation("halcyrion:zorbel")) {
    std::fprintf(stderr, "gegl_bench: halcyrion:zorbel not found in %s\n", ZORBEL_GEGL_DIR);
    return 1;
  }
  picture();  // made before anything is timed
  const std::string folder = argc > 1 && argv[argc - 1][0] != '-' ? argv[--argc] : "bench-files";
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf(
      "\nhalcyrion:zorbel beside gegl:invert-gamma on the same buffer: x_invert_gamma "
      "(goal: defaults within 1.5)\n");
  end_to_end(folder);
  g_object_unref(picture());
  gegl_exit();
  return 0;
}

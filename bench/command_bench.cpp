// The zorbel command end to end beside `vips rot d180` of the same files, its peer (the whole
// picture is decoded before the first output row, as the filter needs it), and `vips copy`,
// which streams and is the floor of any tool; run after run in turns on this machine: a
// 6000 x 4000 RGB photograph-like picture as JPEG (quality 90) and as uncompressed TIFF, and
// the JPEG stored sideways with an orientation tag, which zorbel turns upright as it decodes.
// Prints the median times, the ratio to `vips rot`, and both tools' peak memory (goal: within
// 1.1x the time, the peak not above). JPEG is compared twice: as each tool writes it by
// default (zorbel keeps the input's quality 90, vips writes 75, which encodes faster), and
// both at 90.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>
#include <vips/vips8>

namespace {

constexpr int kWidth = 6000, kHeight = 4000, kRuns = 9;

struct Outcome {
  double seconds = 0;
  long peak_kb = 0;
  int status = -1;
};

// Runs a program with its output thrown away; its time and peak resident memory.
Outcome run(const std::vector<std::string>& arguments) {
  std::fflush(stdout);
  auto start = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) {
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int nothing = open("/dev/null", O_WRONLY);
    dup2(nothing, 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  Outcome outcome;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  outcome.peak_kb = usage.ru_maxrss;
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Smooth shapes with a little grain, so that the JPEG is as large as a camera's.
void make_pictures(const std::string& folder) {
  std::vector<uint8_t> pixels(size_t(kWidth) * kHeight * 3);
  uint32_t state = 12345;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      state = state * 1664525u + 1013904223u;
      int grain = int(state >> 28) - 8;
      double u = x / double(kWidth), v = y / double(kHeight);
      uint8_t* p = &pixels[(size_t(y) * kWidth + x) * 3];
      double shape = 0.5 + 0.5 * std::sin(9 * u + 4 * std::cos(7 * v)) * std::cos(5 * v - 3 * u);
      p[0] = uint8_t(std::clamp(int(255 * shape * (0.6 + 0.4 * u)) + grain, 0, 255));
      p[1] = uint8_t(std::clamp(int(200 * (1 - shape) * v + 40) + grain, 0, 255));
      p[2] = uint8_t(std::clamp(int(160 * shape * shape + 60 * u) + grain, 0, 255));
    }
  }
  vips::VImage image =
      vips::VImage::new_from_memory(pixels.data(), pixels.size(), kWidth, kHeight, 3,
                                    VIPS_FORMAT_UCHAR)
          .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  image.jpegsave((folder + "/photo.jpg").c_str(), vips::VImage::option()->set("Q", 90));
  image.tiffsave((folder + "/photo.tif").c_str());
  // The same pixels as a phone stores a portrait: sideways, tagged to be turned a quarter.
  image = image.copy();
  image.set(VIPS_META_ORIENTATION, 6);
  image.jpegsave((folder + "/sideways.jpg").c_str(), vips::VImage::option()->set("Q", 90));
}

// `zorbel_extra` and `vips_suffix` set the same output options on both sides.
void compare(const std::string& folder, const std::string& name, const std::string& extension,
             const std::string& label, const std::vector<std::string>& zorbel_extra,
             const std::string& vips_suffix) {
  const std::string input = folder + "/" + name + "." + extension;
  const std::string ours = folder + "/zorbel-out." + extension;
  const std::string theirs = folder + "/vips-out." + extension + vips_suffix;
  const std::string rotated = folder + "/vips-rot." + extension + vips_suffix;
  std::vector<double> zorbel_times, vips_times, rot_times;
  long peak_kb = 0, rot_peak_kb = 0;
  for (int i = 0; i < kRuns; ++i) {
    std::vector<std::string> command{ZORBEL_COMMAND, "-q"};
    command.insert(command.end(), zorbel_extra.begin(), zorbel_extra.end());
    command.push_back(input);
    command.push_back(ours);
    // Each run writes a new file, as a user filtering a photograph does (replacing a file
    // also costs the file system the old one's pages).
    std::remove(ours.c_str());
    std::remove(theirs.substr(0, theirs.find('[')).c_str());
    Outcome z = run(command);
    std::remove(rotated.substr(0, rotated.find('[')).c_str());
    Outcome r = run({"vips", "rot", input, rotated, "d180"});
    Outcome v = run({"vips", "copy", input, theirs});
    if (z.status != 0 || r.status != 0 || v.status != 0) {
      std::printf("%s: a run failed (zorbel %d, vips rot %d, vips copy %d)\n", label.c_str(),
                  z.status, r.status, v.status);
      return;
    }
    zorbel_times.push_back(z.seconds);
    rot_times.push_back(r.seconds);
    vips_times.push_back(v.seconds);
    peak_kb = std::max(peak_kb, z.peak_kb);
    rot_peak_kb = std::max(rot_peak_kb, r.peak_kb);
  }
  std::printf(
      "%-34s zorbel %.3f s  vips rot d180 %.3f s  ratio %.2f  peak %.0f MB against %.0f MB "
      "(%.2fx)  vips copy %.3f s\n",
      label.c_str(), median(zorbel_times), median(rot_times),
      median(zorbel_times) / median(rot_times), peak_kb * 1024.0 / 1e6, rot_peak_kb * 1024.0 / 1e6,
      double(peak_kb) / double(std::max(rot_peak_kb, 1L)), median(vips_times));
}

}  // namespace

int main(int argc, char** argv) {
  if (VIPS_INIT(argv[0]) != 0) return 1;
  const std::string folder = argc > 1 ? argv[1] : "bench-files";
  mkdir(folder.c_str(), 0755);
  struct stat info {};
  if (stat((folder + "/sideways.jpg").c_str(), &info) != 0) make_pictures(folder);
  setenv("ZORBEL_CONFIG_DIR", (folder + "/settings").c_str(), 1);
  std::printf(
      "zorbel against vips rot d180 (and vips copy), %d x %d RGB, medians of %d runs each, in "
      "turns:\n",
      kWidth, kHeight, kRuns);
  compare(folder, "photo", "jpg", "JPEG -> JPEG, each tool's default", {}, "");
  compare(folder, "photo", "jpg", "JPEG -> JPEG, both at quality 90", {"--quality", "90"},
          "[Q=90]");
  compare(folder, "photo", "tif", "TIFF -> TIFF, uncompressed", {}, "");
  // zorbel turns it upright as it decodes; vips rot only turns it round.
  compare(folder, "sideways", "jpg", "JPEG tagged sideways, quality 90", {"--quality", "90"},
          "[Q=90]");
  return 0;
}

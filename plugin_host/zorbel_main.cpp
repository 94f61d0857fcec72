// The zorbel command: filters an image file with the Zorbel module through the host
// library, as an image editor would, and writes the result.
//   exit 0 done, 1 cancelled, 2 usage, 3 file error, 4 the module reported an error,
//   5 a step of the ui script went wrong
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "headless_win32/ui_script.h"
#include "module/host/parameter_record.h"
#include "plugin_host/image_io.h"
#include "plugin_host/plugin_host.h"
#include "plugin_host/settings_file.h"
#include "plugin_host/ui_player.h"
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>

#include "headless_win32/headless.h"
#endif

namespace {

// Whole numbers separated by commas, exactly `count` of them; nothing when malformed.
std::optional<std::vector<int>> numbers(const std::string& text, std::size_t count) {
  std::vector<int> values;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) {
    char* end = nullptr;
    long value = std::strtol(part.c_str(), &end, 10);
    if (part.empty() || *end != '\0' || value < -32768 || value > 32767) return std::nullopt;
    values.push_back(int(value));
  }
  if (values.size() != count) return std::nullopt;
  return values;
}

constexpr int kDone = 0, kCancelled = 1, kUsage = 2, kFileError = 3, kModuleError = 4,
              kScriptFailed = 5;

struct Options {
  std::string input, output, selection, module_path;
  int angle = 50, regions = 8, spacing = 50, intensity = 100;
  std::string mode = "parallel";
  bool fade = false, repeat = false, about = false, quiet = false, no_display_pixels = false;
  bool dialog = false;
  std::string ui_script_path;
  std::string ui_script;                 // the script's text, checked
  std::string center, area, base_units;  // "X,Y" and "X,Y,W,H" as typed
  int64_t max_space = 256LL * 1024 * 1024;
};

std::string program_folder() {
#ifdef _WIN32
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p(path);
  std::size_t slash = p.find_last_of("\\/");
#else
  char path[4096] = {};
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string p(path, n > 0 ? size_t(n) : 0);
  std::size_t slash = p.find_last_of('/');
#endif
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

std::string default_module() {
#ifdef _WIN32
  return program_folder() + "\\ZORBEL.8bf";
#else
  return program_folder() + "/ZORBEL.so";
#endif
}

bool on_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

int16_t mode_value(const std::string& name) {
  if (name == "right-angle") return 1;
  if (name == "mixed") return -1;
  return 0;
}

// A progress bar on the terminal, redrawn only when it changes.
class ProgressBar {
 public:
  explicit ProgressBar(bool shown) : shown_(shown) {}
  ~ProgressBar() {
    if (drawn_ >= 0) std::fprintf(stderr, "\n");
  }
  void update(int32_t done, int32_t total) {
    if (!shown_ || total <= 0) return;
    int percent = int(int64_t(done) * 100 / total);
    if (percent == drawn_) return;
    drawn_ = percent;
    int filled = percent * 30 / 100;
    std::fprintf(stderr, "\rfiltering [%.*s%*s] %3d%%", filled, "##############################",
                 30 - filled, "", percent);
    std::fflush(stderr);
  }

 private:
  bool shown_;
  int drawn_ = -1;
};

std::string module_error(int16_t result) {
  switch (result) {
    case filter_api::memFullErr:
      return "the filter ran out of memory (error -108): raise --max-space or filter a smaller "
             "--area";
    case filter_api::filterBadParameters:
      return "the filter refused its parameters (error -30100)";
    default:
      return "the filter reported error " + std::to_string(result);
  }
}

HWND make_host_window() {
  return CreateWindowExA(0, "STATIC", "zorbel", WS_OVERLAPPEDWINDOW, 0, 0, 320, 200, nullptr,
                         nullptr, GetModuleHandleA(nullptr), nullptr);
}

int show_about(const Options& o) {
  std::string why;
  auto module = plugin_host::Module::load(o.module_path, &why);
  if (!module) {
    std::cerr << "zorbel: " << why << "\n";
    return kFileError;
  }
#ifndef _WIN32
  std::size_t before = headless::message_boxes().size();
#endif
  int16_t result = module->about(make_host_window());
  if (result != 0) {
    std::cerr << "zorbel: " << module_error(result) << "\n";
    return kModuleError;
  }
#ifndef _WIN32
  // Without a screen the box is recorded; its text goes to the terminal.
  auto boxes = headless::message_boxes();
  for (std::size_t i = before; i < boxes.size(); ++i)
    std::cout << boxes[i].caption << "\n" << boxes[i].text << "\n";
#endif
  return kDone;
}

// A whole file; false with the reason when it cannot be read (a folder cannot).
bool read_text_file(const std::string& path, std::string& text, std::string* why) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *why = std::strerror(errno);
    return false;
  }
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  bool failed = std::ferror(file) != 0;
  int error = errno;
  std::fclose(file);
  if (failed) *why = std::strerror(error);
  return !failed;
}

// --dialog and --ui-script: the script is read and checked before anything else is done.
int check_dialog_options(Options& o) {
  if (!o.ui_script_path.empty() && !o.dialog) {
    std::cerr << "zorbel: --ui-script plays the user in the dialog; it needs --dialog\n";
    return kUsage;
  }
#ifndef _WIN32
  if (o.dialog && o.ui_script_path.empty()) {
    std::cerr << "zorbel: --dialog needs --ui-script FILE here: this build has no screen, so a "
                 "script plays the user (see zorbel --help)\n";
    return kUsage;
  }
#endif
  if (o.ui_script_path.empty()) return kDone;
  std::string why;
  if (!read_text_file(o.ui_script_path, o.ui_script, &why)) {
    std::cerr << "zorbel: " << o.ui_script_path << ": cannot read the ui script: " << why << "\n";
    return kUsage;
  }
  ui_script::Parsed parsed = ui_script::parse(o.ui_script);
  for (const std::string& error : parsed.errors)
    std::cerr << "zorbel: " << o.ui_script_path << ": " << error << "\n";
  return parsed.errors.empty() ? kDone : kUsage;
}

int run(const Options& o, const std::vector<std::string>& settings_given) {
  if (o.repeat && !settings_given.empty()) {
    std::cerr << "zorbel: --repeat uses the stored settings; it does not combine with "
              << settings_given.front() << "\n";
    return kUsage;
  }
  if (!image_io::writable_extension(o.output)) {
    std::cerr << "zorbel: " << o.output << ": the output name must end in .png, .tif or .tiff\n";
    return kUsage;
  }
  std::string why;
  auto input = image_io::read_image(o.input, &why);
  if (!input) {
    std::cerr << "zorbel: " << why << "\n";
    return kFileError;
  }
  plugin_host::Image& image = input->image;
  if (auto refusal = image_io::write_refusal(o.output, input->kind)) {
    std::cerr << "zorbel: " << o.output << ": " << *refusal << "\n";
    return kUsage;
  }

  plugin_host::Area area{0, 0, image.width, image.height};
  if (!o.area.empty()) {
    auto a = numbers(o.area, 4);
    if (!a) {
      std::cerr << "zorbel: --area " << o.area << ": expected X,Y,WIDTH,HEIGHT in pixels\n";
      return kUsage;
    }
    area = plugin_host::Area{(*a)[0], (*a)[1], (*a)[0] + (*a)[2], (*a)[1] + (*a)[3]};
    if ((*a)[2] <= 0 || (*a)[3] <= 0 || area.left < 0 || area.top < 0 || area.right > image.width ||
        area.bottom > image.height) {
      std::cerr << "zorbel: --area " << o.area << " does not lie inside the " << image.width
                << " x " << image.height << " image\n";
      return kUsage;
    }
  }
  std::vector<int> center;
  if (!o.center.empty()) {
    auto c = numbers(o.center, 2);
    if (!c) {
      std::cerr << "zorbel: --center " << o.center << ": expected X,Y in image pixels\n";
      return kUsage;
    }
    center = *c;
  }
  std::optional<image_io::LoadedImage> mask;
  if (!o.selection.empty()) {
    mask = image_io::read_image(o.selection, &why);
    if (!mask) {
      std::cerr << "zorbel: " << why << "\n";
      return kFileError;
    }
    if (mask->kind != image_io::Kind::kGray) {
      std::cerr << "zorbel: " << o.selection << ": a selection must be a grayscale image\n";
      return kFileError;
    }
    if (mask->image.width != image.width || mask->image.height != image.height) {
      std::cerr << "zorbel: " << o.selection << ": the selection is " << mask->image.width << " x "
                << mask->image.height << " but the image is " << image.width << " x "
                << image.height << "\n";
      return kFileError;
    }
  }

  std::string module_why;
  auto module = plugin_host::Module::load(o.module_path, &module_why);
  if (!module) {
    std::cerr << "zorbel: " << module_why << "\n";
    return kFileError;
  }
  std::string settings_path = settings_file::default_path();
  if (o.repeat) {
    std::string notice;
    auto stored = settings_file::load(settings_path, &notice);
    if (!notice.empty()) std::cerr << "zorbel: " << notice << "\n";
    if (!stored && notice.empty())
      std::cerr << "zorbel: no settings stored yet; using the defaults\n";
    if (stored) module->set_parameters(*stored);
  }
  if (!o.repeat || !module->parameters()) {
    ParameterRecord record{};
    record.regions = int16_t(o.regions);
    record.intensity = int16_t(o.intensity);
    record.angle = int16_t(o.angle);
    record.spacing = int16_t(o.spacing);
    record.mode = mode_value(o.mode);
    record.fade = o.fade ? 1 : 0;
    int32_t cx = center.empty() ? (area.left + area.right) / 2 : center[0];
    int32_t cy = center.empty() ? (area.top + area.bottom) / 2 : center[1];
    record.center_h = int16_t(cx - area.left);
    record.center_v = int16_t(cy - area.top);
    record.show_dialog = o.dialog ? 1 : 0;
    std::vector<uint8_t> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    module->set_parameters(bytes);
  }

  plugin_host::RunOptions options;
  options.image_mode = image_io::image_mode(input->kind);
  options.color_planes = image_io::color_planes(input->kind);
  options.filter_area = area;
  if (mask) options.selection = &mask->image.pixels;
  options.max_space = int32_t(std::min<int64_t>(o.max_space, INT32_MAX));
  options.offer_display_pixels = !o.no_display_pixels;
  options.reuse_buffers = true;
  options.point_into_image = true;
  options.ask_for_dialog = o.dialog;
  options.window = make_host_window();
  ProgressBar bar(!o.quiet && on_terminal());
  options.progress = [&](int32_t done, int32_t total) { bar.update(done + 1, total); };
  bool scripted = !o.ui_script_path.empty();
  if (scripted) ui_player::start(o.ui_script);
  plugin_host::RunResult result = module->run(image, options);
  if (scripted) {
    ui_player::Report report = ui_player::finish();
    for (const std::string& failure : report.failures)
      std::cerr << "zorbel: " << o.ui_script_path << ": " << failure << "\n";
    if (report.ran_out)
      std::cerr << "zorbel: " << o.ui_script_path
                << ": the script ran out with the dialog still open, which cancelled it; "
                << o.output << " was not written\n";
    if (!report.failures.empty()) {
      std::cerr << "zorbel: the ui script did not go as written; " << o.output
                << " was not written\n";
      return kScriptFailed;
    }
    if (report.ran_out) return kCancelled;
  }
  if (!result.host_error.empty()) {
    std::cerr << "zorbel: the filter asked for something no host delivers: " << result.host_error
              << "\n";
    return kModuleError;
  }
  if (result.continue_bound_reached) {
    std::cerr << "zorbel: the filter did not finish (it kept asking for more rows)\n";
    return kModuleError;
  }
  if (result.result == 1 || result.result == filter_api::userCanceledErr) {
    std::cerr << "zorbel: cancelled; " << o.output << " was not written\n";
    return kCancelled;
  }
  if (result.result != 0) {
    std::cerr << "zorbel: " << module_error(result.result) << "\n";
    return kModuleError;
  }
  if (!image_io::write_image(o.output, *input, &why)) {
    std::cerr << "zorbel: " << why << "\n";
    return kFileError;
  }
  if (auto stored = module->parameters()) {
    std::string save_error;
    if (!settings_file::save(settings_path, *stored, &save_error))
      std::cerr << "zorbel: note: " << save_error << " (--repeat will not find these settings)\n";
  }
  if (!o.quiet) std::cerr << "zorbel: wrote " << o.output << "\n";
  return kDone;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.module_path = default_module();
  CLI::App app{
      "Zorbel: from a centre line across a direction, repeats the strip beside the line outwards "
      "as a row of echoes, in bands, blended with the picture.\n\n"
      "Examples:\n"
      "  zorbel photo.png echoes.png\n"
      "  zorbel --angle 90 --regions 12 --spacing 20 --mode mixed --fade photo.png out.png\n"
      "  zorbel --area 100,50,400,300 --center 300,200 scan.tif out.tif\n"
      "  zorbel --selection mask.png photo.png out.png   (mask: gray, 255 = selected)\n"
      "  zorbel --repeat other.png other-echoes.png      (the settings of the last run)\n",
      "zorbel"};
  app.set_version_flag("--version", "zorbel 1.0.0 (filter module ZORBEL.8bf 1.0)");
  app.add_option("INPUT", o.input,
                 "image to filter: PNG or TIFF, 8-bit gray, gray+alpha, RGB, "
                 "RGBA or (TIFF) CMYK; alpha passes through untouched");
  app.add_option("OUTPUT", o.output, "where to write the result (.png, .tif or .tiff)");
  app.add_option("--angle", o.angle,
                 "direction in degrees, 0 to 360 (default 50; 0 points "
                 "right, 90 down)")
      ->check(CLI::Range(0, 360));
  app.add_option("--regions", o.regions, "number of echoes, 1 to 20 (default 8)")
      ->check(CLI::Range(1, 20));
  app.add_option("--spacing", o.spacing,
                 "band width, 5 to 100; 50 is about a fifth of the larger side (default 50)")
      ->check(CLI::Range(5, 100));
  app.add_option("--intensity", o.intensity, "blend strength, 0 to 100 (default 100)")
      ->check(CLI::Range(0, 100));
  app.add_option("--mode", o.mode, "parallel, right-angle or mixed (default parallel)")
      ->check(CLI::IsMember({"parallel", "right-angle", "mixed"}));
  app.add_flag("--fade", o.fade, "echoes grow weaker band by band");
  app.add_option("--center", o.center,
                 "X,Y: centre of the effect in image pixels (default: the middle of the filter "
                 "area)");
  app.add_option("--area", o.area, "X,Y,W,H: filter only this rectangle");
  app.add_option("--selection", o.selection,
                 "MASK: grayscale image of the same size; 255 filters fully, 0 leaves alone");
  app.add_flag("--repeat", o.repeat, "filter with the settings of the last run");
  app.add_flag("--dialog", o.dialog,
               "show the filter's dialog first, starting from the settings the other options or "
               "--repeat give; OK filters and stores its settings, Cancel exits with 1"
#ifndef _WIN32
               " (this build has no screen: it needs --ui-script)"
#endif
  );
  app.add_option("--ui-script", o.ui_script_path,
                 "FILE: steps a scripted user plays in the dialog, one a line: wait-ready, "
                 "type ID TEXT, focus ID, click ID, key enter|esc|tab, scroll ID CODE [POS], "
                 "press|move|release VIEW X Y, tick N, expect-beeps N, snapshot dialog|ID "
                 "FILE.png (see README); the run is cancelled if the steps run out with the "
                 "dialog open, and exits with 5 if a step goes wrong");
  app.add_option("--max-space", o.max_space,
                 "BYTES the filter may allocate (default 256 MiB); less makes it work from a "
                 "reduced preview image and fetch rows as it needs them")
      ->check(CLI::Range(int64_t(0), int64_t(INT32_MAX)));
  app.add_flag("--no-display-pixels", o.no_display_pixels,
               "do not offer the host's drawing callback (the filter draws its previews itself)");
  app.add_option("--module", o.module_path,
                 "the filter module to load (default: " + o.module_path + ")");
  app.add_flag("--about", o.about, "show the filter's About text and exit");
  app.add_flag("--quiet,-q", o.quiet, "no progress bar and no closing message");
#ifndef _WIN32
  app.add_option("--base-units", o.base_units,
                 "X,Y[,3d]: dialog base units of the simulated screen, and Windows' sunken "
                 "control edges (to match a Windows display)")
      ->group("");
#endif
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "zorbel: " << e.what() << "\n(see zorbel --help)\n";
    return kUsage;
  }
#ifndef _WIN32
  if (!o.base_units.empty()) {
    // "X,Y", or "X,Y,3d" for Windows' sunken edges around bordered dialog controls.
    std::string units_text = o.base_units;
    if (units_text.size() > 3 && units_text.substr(units_text.size() - 3) == ",3d") {
      headless::set_dialog_3d_look(true);
      units_text.resize(units_text.size() - 3);
    }
    auto units = numbers(units_text, 2);
    if (!units || (*units)[0] <= 0 || (*units)[1] <= 0) {
      std::cerr << "zorbel: --base-units " << o.base_units << ": expected two positive numbers\n";
      return kUsage;
    }
    headless::set_dialog_base_units((*units)[0], (*units)[1]);
  }
#endif
  std::vector<std::string> given;
  for (const char* name :
       {"--angle", "--regions", "--spacing", "--intensity", "--mode", "--fade", "--center"})
    if (app.count(name) > 0) given.push_back(name);
  if (o.about) return show_about(o);
  if (int status = check_dialog_options(o); status != kDone) return status;
  if (o.input.empty() || o.output.empty()) {
    std::cerr << "zorbel: an INPUT and an OUTPUT image are needed: zorbel [options] INPUT OUTPUT "
                 "(see zorbel --help)\n";
    return kUsage;
  }
  return run(o, given);
}

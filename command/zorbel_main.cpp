// The zorbel command: filters an image file with the Zorbel module through the host
// library, as an image editor would, and writes the result.
//   exit 0 done, 1 cancelled, 2 usage, 3 file error, 4 the module reported an error,
//   5 a step of the ui script went wrong
#include <CLI/CLI.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "command/batch_names.h"
#include "command/settings_file.h"
#include "command/ui_player.h"
#include "filter_api/parameter_record.h"
#include "headless_win32/ui_script_parser.h"
#include "image_files/image_io.h"
#include "plugin_host/arguments.h"
#include "plugin_host/plugin_host.h"
#include "zorbel_version.h"
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>

#include "headless_win32/headless.h"
#endif

namespace {

#ifndef _WIN32
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
#endif

// Whole numbers or percentages ("40%") separated by commas, exactly `count` of them, each
// turned into pixels of the matching side (`sides` alternates width and height); nothing when
// malformed.
std::optional<std::vector<int>> pixels_or_percentages(const std::string& text, std::size_t count,
                                                      int32_t width, int32_t height) {
  std::vector<int> values;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) {
    bool percent = !part.empty() && part.back() == '%';
    if (percent) part.pop_back();
    char* end = nullptr;
    double value = std::strtod(part.c_str(), &end);
    if (part.empty() || *end != '\0' || (!percent && value != double(long(value))))
      return std::nullopt;
    if (percent) value = value * (values.size() % 2 == 0 ? width : height) / 100.0 + 0.5;
    if (value < -32768 || value > 32767) return std::nullopt;
    values.push_back(int(percent ? std::floor(value) : value));
  }
  if (values.size() != count) return std::nullopt;
  return values;
}

constexpr int kDone = 0, kCancelled = 1, kUsage = 2, kFileError = 3, kModuleError = 4,
              kScriptFailed = 5;

struct Options {
  std::vector<std::string> files;  // INPUT OUTPUT, or the inputs with --output-dir
  std::string selection, module_path;
  std::string output_dir, format;
  std::string name;          // --name's pattern for a batch's outputs
  bool in_place = false;     // a batch's outputs may replace their own inputs
  bool first_frame = false;  // filter only the first frame of a multi-frame input
  int quality = 0, jobs = 0;
  bool lossless = false, strip = false;
  int angle = 50, regions = 8, spacing = 50, intensity = 100;
  std::string mode = "parallel";
  bool fade = false, repeat = false, about = false, quiet = false, no_display_pixels = false;
  bool dialog = false, keep_orientation = false;
  std::string ui_script_path;
  std::string ui_script;                 // the script's text, checked
  std::string center, area, base_units;  // "X,Y" and "X,Y,W,H" as typed
  std::string completion;                // a shell, for --completion
  int64_t max_space = 256LL * 1024 * 1024;
};

std::string program_folder() {
#ifdef _WIN32
  wchar_t path[32768] = {};
  DWORD n = GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
  std::string p = plugin_host::to_utf8(std::wstring(path, n < std::size(path) ? n : 0));
  std::size_t slash = p.find_last_of("\\/");
#else
  char path[4096] = {};
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string p(path, n > 0 ? size_t(n) : 0);
  std::size_t slash = p.find_last_of('/');
#endif
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

// Where the module is looked for, in order: beside the command (the build tree, an unpacked
// zip), where an installation puts it relative to the command (bin/ and <libdir>/zorbel/ under
// one prefix, or the zip's folder for this architecture), then the place it was installed to.
std::vector<std::string> module_candidates() {
  const std::string folder = program_folder();
#ifdef _WIN32
  const char* arch = sizeof(void*) == 8 ? "x64" : "x86";
  return {folder + "\\ZORBEL.8bf", folder + "\\" + arch + "\\ZORBEL.8bf"};
#else
  return {folder + "/ZORBEL.so", folder + "/" ZORBEL_RELATIVE_MODULE_DIR "/ZORBEL.so",
          ZORBEL_INSTALLED_MODULE_DIR "/ZORBEL.so"};
#endif
}

std::string default_module() {
  for (const std::string& path : module_candidates())
    if (plugin_host::file_exists(path)) return path;
  return module_candidates().front();
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
  ~ProgressBar() { end_line(); }
  // Ends the bar's line, so that a message can follow on a line of its own.
  void end_line() {
    if (drawn_ >= 0) std::fprintf(stderr, "\n");
    drawn_ = -1;
  }
  // `frame` of `frames` (from 1) is being filtered, when there are several.
  void update(int64_t done, int64_t total, int frame = 0, int frames = 0) {
    if (!shown_ || total <= 0) return;
    int percent = int(done * 100 / total);
    if (percent == drawn_ && frame == frame_) return;
    drawn_ = percent;
    frame_ = frame;
    int filled = percent * 30 / 100;
    std::fprintf(stderr, "\rfiltering [%.*s%*s] %3d%%", filled, "##############################",
                 30 - filled, "", percent);
    if (frames > 1) std::fprintf(stderr, "  frame %d of %d", frame, frames);
    std::fflush(stderr);
  }

 private:
  bool shown_;
  int drawn_ = -1, frame_ = 0;
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
  FILE* file = plugin_host::open_file(path, "rb");
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

// The settings record for one image: the options' settings, or the stored ones with
// --repeat, and the centre (pixels or percentages) relative to the filter area.
std::vector<uint8_t> settings_record(const Options& o, const plugin_host::Area& area,
                                     const std::vector<int>& center,
                                     const std::optional<std::vector<uint8_t>>& stored) {
  if (o.repeat && stored) return *stored;
  filter_api::ParameterRecord record{};
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
  return bytes;
}

// What every file of a run shares: the module (one run of it at a time), the stored settings
// and the selection.
struct Shared {
  const Options& o;
  plugin_host::Module& module;
  std::mutex filtering;  // the module keeps one state: files are filtered one after another
  std::optional<std::vector<uint8_t>> stored;  // --repeat's settings
  std::optional<std::vector<uint8_t>> used;    // the settings of the last file filtered
  std::optional<image_io::LoadedImage> mask;
  bool single = true;                // one file: the row progress bar and the closing message
  std::atomic<bool> stopped{false};  // Ctrl+C stopped a run: no further file is filtered

  // A batch's bar counts frames: a file counts one until it is read, then as many as it has.
  ProgressBar* batch_bar = nullptr;
  std::mutex progress{};
  int64_t frames_total = 0, frames_done = 0;
  void count_frames(int64_t more_total, int64_t more_done) {
    if (batch_bar == nullptr) return;
    std::lock_guard<std::mutex> lock(progress);
    frames_total += more_total;
    frames_done += more_done;
    batch_bar->update(frames_done, frames_total);
  }
};

// The frames of one file on a batch's bar: those it has once read, and those filtered.
struct FrameCount {
  int64_t total = 1, done = 0;
};

image_io::Orientation orientation(const Options& o) {
  return o.keep_orientation ? image_io::Orientation::kAsStored : image_io::Orientation::kUpright;
}

std::string shown_name(const std::string& path, bool output) {
  return path != "-" ? path : output ? "standard output" : "standard input";
}

// A multi-frame input is filtered whole into a format that keeps its frames; otherwise it is
// refused, unless --first-frame asks for its first frame alone (its frames then forgotten).
int check_frames(const Options& o, const std::string& input_path, image_io::LoadedImage& input,
                 const std::string& output_named) {
  image_io::Frames& frames = input.frames;
  if (frames.count <= 1) return kDone;
  if (o.first_frame) {
    frames = image_io::Frames{};
    return kDone;
  }
  const bool pages = input.format == "tiff" || input.format == "heif" || input.format == "pdf";
  const std::string count = std::to_string(frames.count) + (pages ? " pages" : " frames");
  const std::string shown = shown_name(input_path, false);
  if (!frames.same_size) {
    std::cerr << "zorbel: " << shown << ": its " << count
              << " are not all of one size, so they cannot be filtered into one file; give "
                 "--first-frame to filter the first alone\n";
    return kUsage;
  }
  if (!image_io::holds_frames(output_named)) {
    std::cerr << "zorbel: " << shown << ": has " << count << ", and "
              << image_io::output_format(output_named).value_or(output_named)
              << " keeps one; write " << image_io::frame_formats()
              << " to keep them all, or give --first-frame to filter the first alone\n";
    return kUsage;
  }
  return kDone;
}

// The settings for the frames after the first: those the first was filtered with, without
// the dialog.
std::vector<uint8_t> later_frame_settings(std::vector<uint8_t> record) {
  filter_api::ParameterRecord fields{};
  if (record.size() != sizeof fields) return record;
  std::memcpy(&fields, record.data(), sizeof fields);
  fields.show_dialog = 0;
  std::memcpy(record.data(), &fields, sizeof fields);
  return record;
}

// Reads, filters and writes one file; prints one line for anything that goes wrong and
// returns the exit status.
int filter_file(Shared& shared, const std::string& input_path, const std::string& output_path,
                FrameCount* count) {
  const Options& o = shared.o;
  std::string why;
  auto input = image_io::read_image(input_path, &why, orientation(o));
  if (!input) {
    std::cerr << "zorbel: " << why << "\n";
    return kFileError;
  }
  shared.count_frames(input->frames.count - count->total, 0);
  count->total = input->frames.count;
  plugin_host::Image& image = input->image;
  image_io::WriteOptions write;
  write.format = o.format;
  if (output_path == "-" && write.format.empty()) write.format = input->format;
  write.quality = o.quality;
  write.lossless = o.lossless;
  write.strip = o.strip;
  const std::string& named = write.format.empty() ? output_path : write.format;
  if (int status = check_frames(o, input_path, *input, named); status != kDone) return status;
  if (auto refusal = image_io::write_refusal(named, input->kind)) {
    std::cerr << "zorbel: " << shown_name(output_path, true) << ": " << *refusal << "\n";
    return kUsage;
  }
  // A JPEG from a JPEG keeps the quality it was saved with.
  if (write.quality == 0 && input->jpeg_quality > 0 && image_io::output_format(named) == "jpeg")
    write.quality = input->jpeg_quality;

  plugin_host::Area area{0, 0, image.width, image.height};
  if (!o.area.empty()) {
    auto a = pixels_or_percentages(o.area, 4, image.width, image.height);
    if (!a) {
      std::cerr << "zorbel: --area " << o.area
                << ": expected X,Y,WIDTH,HEIGHT in pixels or percentages\n";
      return kUsage;
    }
    area = plugin_host::Area{(*a)[0], (*a)[1], (*a)[0] + (*a)[2], (*a)[1] + (*a)[3]};
    if ((*a)[2] <= 0 || (*a)[3] <= 0 || area.left < 0 || area.top < 0 || area.right > image.width ||
        area.bottom > image.height) {
      std::cerr << "zorbel: --area " << o.area << " does not lie inside the " << image.width
                << " x " << image.height << " image " << shown_name(input_path, false) << "\n";
      return kUsage;
    }
  }
  std::vector<int> center;
  if (!o.center.empty()) {
    auto c = pixels_or_percentages(o.center, 2, image.width, image.height);
    if (!c) {
      std::cerr << "zorbel: --center " << o.center
                << ": expected X,Y in image pixels or percentages (50%,50%)\n";
      return kUsage;
    }
    center = *c;
  }
  if (shared.mask &&
      (shared.mask->image.width != image.width || shared.mask->image.height != image.height)) {
    std::cerr << "zorbel: " << o.selection << ": the selection is " << shared.mask->image.width
              << " x " << shared.mask->image.height << " but the image "
              << shown_name(input_path, false) << " is " << image.width << " x " << image.height
              << "\n";
    return kFileError;
  }

  // The result is encoded while it is made, row by row, straight from the filter's output.
  std::unique_ptr<image_io::RowWriter> writer =
      image_io::open_row_writer(output_path, *input, write, &why);
  if (!writer) {
    std::cerr << "zorbel: " << why << "\n";
    return kFileError;
  }
  plugin_host::RunOptions options;
  options.rows = [&writer](int32_t, const uint8_t* row) { return writer->put(row); };
  options.image_mode = image_io::image_mode(input->kind);
  options.color_planes = image_io::color_planes(input->kind);
  options.filter_area = area;
  if (shared.mask) options.selection = &shared.mask->image.pixels;
  options.max_space = int32_t(std::min<int64_t>(o.max_space, INT32_MAX));
  options.offer_display_pixels = !o.no_display_pixels;
  options.reuse_buffers = true;
  options.point_into_image = true;
  options.ask_for_dialog = o.dialog;
  options.abort = [] { return image_io::stop_requested(); };
  ProgressBar bar(shared.single && !o.quiet && on_terminal());
  const int frames = input->frames.count;
  int frame = 0;
  options.progress = [&](int32_t done, int32_t total) {
    bar.update(int64_t(frame) * total + done + 1, int64_t(frames) * total, frame + 1, frames);
  };
  plugin_host::RunResult result;
  std::optional<ui_player::Report> report;
  bool stopped = false;
  // Every frame of an animation or page of a multi-page file in turn, into the same buffer,
  // with the settings the first frame was filtered with (its dialog, if any, shown once).
  std::optional<std::vector<uint8_t>> frame_settings;
  for (; frame < frames; ++frame) {
    if (frame > 0 && !input->frames.source->read(frame, &image, &why)) {
      std::cerr << "zorbel: " << why << "\n";
      return kFileError;
    }
    std::lock_guard<std::mutex> lock(shared.filtering);
    if (shared.stopped) return kCancelled;  // an earlier file was stopped: the batch ends
    options.window = make_host_window();
    shared.module.set_parameters(frame_settings ? *frame_settings
                                                : settings_record(o, area, center, shared.stored));
    bool scripted = !o.ui_script_path.empty() && frame == 0;
    if (scripted) ui_player::start(o.ui_script);
    image_io::begin_stoppable_run();
    result = shared.module.run(image, options);
    // A stop that came as the run ended still counts: the user asked for no output.
    stopped = image_io::end_stoppable_run();
    if (scripted) report = ui_player::finish();
    if (result.ok() && !stopped) shared.used = shared.module.parameters();
    DestroyWindow(options.window);
    if (!result.ok() || stopped || (report && (!report->failures.empty() || report->ran_out)))
      break;
    shared.count_frames(0, 1);
    ++count->done;
    if (frame + 1 < frames)
      frame_settings = later_frame_settings(
          shared.module.parameters().value_or(settings_record(o, area, center, shared.stored)));
    options.ask_for_dialog = false;
  }
  std::vector<uint8_t>().swap(image.pixels);  // what is left to encode is in the writer
  const std::string out = shown_name(output_path, true);
  if (stopped) {
    shared.stopped = true;
    bar.end_line();
    std::cerr << "zorbel: interrupted; " << out << " was not written\n";
    return kCancelled;
  }
  if (report) {
    for (const std::string& failure : report->failures)
      std::cerr << "zorbel: " << o.ui_script_path << ": " << failure << "\n";
    if (report->ran_out)
      std::cerr << "zorbel: " << o.ui_script_path
                << ": the script ran out with the dialog still open, which cancelled it; " << out
                << " was not written\n";
    if (!report->failures.empty()) {
      std::cerr << "zorbel: the ui script did not go as written; " << out << " was not written\n";
      return kScriptFailed;
    }
    if (report->ran_out) return kCancelled;
  }
  if (!result.host_error.empty() && !writer->failure().empty()) {
    std::cerr << "zorbel: " << writer->failure() << "\n";
    return kFileError;
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
    std::cerr << "zorbel: cancelled; " << out << " was not written\n";
    return kCancelled;
  }
  if (result.result != 0) {
    std::cerr << "zorbel: " << shown_name(input_path, false) << ": " << module_error(result.result)
              << "\n";
    return kModuleError;
  }
  if (!writer->finish(&why)) {
    std::cerr << "zorbel: " << why << "\n";
    return kFileError;
  }
  if (shared.single && !o.quiet && output_path != "-")
    std::cerr << "zorbel: wrote " << output_path << "\n";
  return kDone;
}

// Whether a UTF-8 path names an existing folder.
bool is_folder(const std::string& path) {
#ifdef _WIN32
  std::wstring wide;
  struct _stat64 info {};
  return plugin_host::to_wide(path, &wide) && _wstat64(wide.c_str(), &info) == 0 &&
         (info.st_mode & _S_IFDIR) != 0;
#else
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
#endif
}

// Where a batch puts the result of the input at `position` (1-based): in --output-dir, else
// beside the input, under --name's pattern, else the input's own name (with the extension of
// --format when one is given). Nothing, with the reason, for a pattern that gives no name.
std::optional<std::string> batch_output(const Options& o, const std::string& input,
                                        std::size_t position, std::string* why) {
  std::string name = batch_names::base_name(input);
  if (!o.name.empty()) {
    auto expanded = batch_names::expand(o.name, input, position, o.files.size(), o.format, why);
    if (!expanded) return std::nullopt;
    name = *expanded;
  } else if (!o.format.empty()) {
    std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos) name.resize(dot);
    name += "." + o.format;
  }
  if (o.output_dir.empty()) return batch_names::folder_of(input) + name;
  std::string folder = o.output_dir;
  if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += '/';
  return folder + name;
}

int run(Options& o, const std::vector<std::string>& settings_given) {
  if (o.repeat && !settings_given.empty()) {
    std::cerr << "zorbel: --repeat uses the stored settings; it does not combine with "
              << settings_given.front() << "\n";
    return kUsage;
  }
  std::vector<std::pair<std::string, std::string>> jobs;
  const bool batch = !o.output_dir.empty() || !o.name.empty() || o.in_place;
  if (!batch) {
    if (o.files.size() != 2) {
      std::cerr << "zorbel: an INPUT and an OUTPUT image are needed: zorbel [options] INPUT OUTPUT"
                   ", or zorbel [options] --output-dir DIR INPUT... (see zorbel --help)\n";
      return kUsage;
    }
    jobs.emplace_back(o.files[0], o.files[1]);
  } else {
    if (o.files.empty()) {
      std::cerr << "zorbel: "
                << (!o.output_dir.empty() ? "--output-dir " + o.output_dir
                    : o.in_place          ? std::string("--in-place")
                                          : "--name " + o.name)
                << " needs at least one INPUT image (see zorbel --help)\n";
      return kUsage;
    }
    if (o.dialog) {
      std::cerr << "zorbel: --dialog works on one file: zorbel [options] --dialog INPUT OUTPUT\n";
      return kUsage;
    }
    for (const std::string& input : o.files) {
      if (input == "-") {
        std::cerr << "zorbel: - (standard input) cannot be one of several inputs\n";
        return kUsage;
      }
      std::string why;
      std::optional<std::string> output = batch_output(o, input, jobs.size() + 1, &why);
      if (!output) {
        std::cerr << "zorbel: " << why << "\n";
        return kUsage;
      }
      jobs.emplace_back(input, *output);
    }
    if (!o.output_dir.empty() && !is_folder(o.output_dir)) {
      std::cerr << "zorbel: " << o.output_dir << ": no such folder for the outputs\n";
      return kFileError;
    }
  }
  if (!o.format.empty() && !image_io::output_format(o.format)) {
    std::cerr << "zorbel: --format " << o.format << ": this build writes "
              << image_io::writable_formats() << "\n";
    return kUsage;
  }
  for (const auto& job : jobs) {
    if (job.second != "-" && o.format.empty() && !image_io::output_format(job.second)) {
      std::cerr << "zorbel: " << job.second << ": the output name must end in one of "
                << image_io::writable_formats() << " (or give --format)\n";
      return kUsage;
    }
  }
  if (batch) {
    // Every output name is checked before anything is written.
    std::vector<batch_names::Job> named;
    for (const auto& job : jobs) named.push_back({job.first, job.second});
    std::vector<std::string> kept;
    if (!o.selection.empty()) kept.push_back(o.selection);
    std::vector<std::string> refusals = batch_names::refusals(named, o.in_place, kept);
    for (const std::string& refusal : refusals) std::cerr << "zorbel: " << refusal << "\n";
    if (!refusals.empty()) return kUsage;
  }

  std::string why;
  std::optional<image_io::LoadedImage> mask;
  if (!o.selection.empty()) {
    mask = image_io::read_image(o.selection, &why, orientation(o));
    if (!mask) {
      std::cerr << "zorbel: " << why << "\n";
      return kFileError;
    }
    if (mask->kind != image_io::Kind::kGray) {
      std::cerr << "zorbel: " << o.selection << ": a selection must be a grayscale image\n";
      return kFileError;
    }
  }
  std::string module_why;
  auto module = plugin_host::Module::load(o.module_path, &module_why);
  if (!module) {
    std::cerr << "zorbel: " << module_why << "\n";
    return kFileError;
  }
  Shared shared{o, *module, {}, {}, {}, std::move(mask), jobs.size() == 1};
  std::string settings_path = settings_file::default_path();
  if (o.repeat) {
    std::string notice;
    shared.stored = settings_file::load(settings_path, &notice);
    if (!notice.empty()) std::cerr << "zorbel: " << notice << "\n";
    if (!shared.stored && notice.empty())
      std::cerr << "zorbel: no settings stored yet; using the defaults\n";
  }

  int status = kDone;
  if (jobs.size() == 1) {
    FrameCount count;
    status = filter_file(shared, jobs[0].first, jobs[0].second, &count);
  } else {
    // Several files: each worker reads, filters and writes whole files; the filtering itself
    // takes turns. One bar counts the frames of every file.
    std::size_t workers = o.jobs > 0 ? std::size_t(o.jobs) : std::thread::hardware_concurrency();
    workers = std::max<std::size_t>(1, std::min(workers, jobs.size()));
    std::atomic<std::size_t> next{0}, written{0};
    std::atomic<int> worst{kDone};
    ProgressBar bar(!o.quiet && on_terminal());
    shared.batch_bar = &bar;
    shared.frames_total = int64_t(jobs.size());
    auto work = [&] {
      for (std::size_t i; !shared.stopped && (i = next++) < jobs.size();) {
        FrameCount count;
        int result = filter_file(shared, jobs[i].first, jobs[i].second, &count);
        if (result == kDone) ++written;
        for (int seen = worst.load();
             result > seen && !worst.compare_exchange_weak(seen, result);) {
        }
        shared.count_frames(0, count.total - count.done);  // a failed file's frames end too
      }
    };
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < workers; ++i) threads.emplace_back(work);
    work();
    for (std::thread& thread : threads) thread.join();
    shared.batch_bar = nullptr;
    bar.end_line();  // the closing line goes on a line of its own
    status = worst.load();
    if (!o.quiet)
      std::cerr << "zorbel: wrote " << written.load() << " of " << jobs.size() << " files"
                << (o.output_dir.empty()
                        ? std::string(o.in_place && o.name.empty() ? " in place"
                                                                   : " beside their inputs")
                        : " into " + o.output_dir)
                << "\n";
  }
  if (shared.used && status == kDone) {
    std::string save_error;
    if (!settings_file::save(settings_path, *shared.used, &save_error))
      std::cerr << "zorbel: note: " << save_error << " (--repeat will not find these settings)\n";
  }
  return status;
}

// The modes and the output formats offered: the --mode check and the shell completion.
const std::vector<std::string> kModes = {"parallel", "right-angle", "mixed"};
const std::vector<std::string> kCompletedFormats = {"jpg", "png", "tif", "webp", "heic", "avif"};

// A bash completion script made from the command's own options: their names, and for those
// taking a value what to offer (folders for DIR, files for FILE, the words of a choice).
std::string bash_completion(const CLI::App& app) {
  const std::map<std::string, std::vector<std::string>> choices = {{"MODE", kModes},
                                                                   {"EXT", kCompletedFormats}};
  std::string names, cases;
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_group().empty() || option->nonpositional() == false) continue;
    std::string spelled;
    for (const std::string& name : option->get_snames()) spelled += " -" + name;
    for (const std::string& name : option->get_lnames()) spelled += " --" + name;
    names += spelled;
    if (option->get_type_size_max() == 0) continue;  // a flag
    std::string type = option->get_type_name(), offer;
    type = type.substr(0, type.find(':'));  // "MODE:{parallel,...}": the name before the check
    if (type == "DIR") {
      offer = "compgen -d -- \"$cur\"";
    } else if (type == "FILE") {
      offer = "compgen -f -- \"$cur\"";
    } else if (auto words = choices.find(type); words != choices.end()) {
      std::string list;
      for (const std::string& word : words->second) list += (list.empty() ? "" : " ") + word;
      offer = "compgen -W \"" + list + "\" -- \"$cur\"";
    }
    std::string pattern = spelled.substr(1);
    std::replace(pattern.begin(), pattern.end(), ' ', '|');
    cases += "    " + pattern + ")\n      " +
             (offer.empty() ? std::string("return") : "COMPREPLY=($(" + offer + ")); return") +
             " ;;\n";
  }
  return "# bash completion for zorbel, written by zorbel --completion bash\n"
         "_zorbel() {\n"
         "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
         "  case \"$prev\" in\n" +
         cases +
         "  esac\n"
         "  if [[ \"$cur\" == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"" +
         names.substr(1) +
         "\" -- \"$cur\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -o filenames -F _zorbel zorbel\n";
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.module_path = default_module();
  CLI::App app{
      "Zorbel: from a centre line across a direction, repeats the strip beside the line outwards "
      "as a row of echoes, in bands, blended with the picture.",
      "zorbel"};
  app.footer(
      "Examples:\n"
      "  zorbel photo.png echoes.png  the default settings\n"
      "  zorbel --angle 90 --regions 12 --mode mixed --fade photo.png out.png  other settings\n"
      "  zorbel --area 100,50,400,300 --center 300,200 scan.tif out.tif  part of the picture\n"
      "  zorbel --selection mask.png photo.png out.png  where the gray mask says (255: all)\n"
      "  zorbel --repeat other.png other-echoes.png  the settings of the last run\n"
      "  zorbel --quality 85 photo.jpg echoes.jpg  profile, EXIF and XMP kept\n"
      "  zorbel -j 2 --center 30%,50% --output-dir out/ *.jpg  a batch, two at a time\n"
      "  zorbel --name {stem}-echoes.{ext} card/*/*.JPG  a batch, each beside its original\n"
      "  zorbel --in-place *.jpg  the originals replaced by their results\n"
      "  zorbel animation.gif echoes.webp  every frame, the delays and the loop kept\n"
      "  cat photo.png | zorbel - --format webp - > echoes.webp  a pipe\n"
      "\n"
      "A photograph whose EXIF orientation tag says it is stored sideways or mirrored is turned\n"
      "upright first, as viewers show it, and written upright (orientation 1). --angle, --center,\n"
      "--area and --selection are read in that upright picture; with --keep-orientation, in the\n"
      "stored pixels, and the tag is kept.");
  app.set_version_flag(
      "--version", "zorbel " ZORBEL_VERSION " (filter module ZORBEL.8bf " ZORBEL_VERSION_SHORT ")");
  app.add_option("FILES", o.files,
                 "INPUT OUTPUT, or in a batch (--output-dir, --name or --in-place) the INPUT "
                 "images. Inputs: JPEG, PNG, TIFF, WebP, HEIF/AVIF, GIF (every frame or page) and "
                 "what else the platform reads, 8-bit gray, RGB or CMYK "
                 "with or without alpha (palette images become RGB or RGBA; alpha passes through "
                 "untouched). The output's format follows its extension (or --format); - reads "
                 "standard input or writes standard output")
      ->type_name("FILE");
  app.add_option("--output-dir", o.output_dir,
                 "filter every INPUT into DIR, under the input's own file name (or --name's); "
                 "two inputs that would write one output, or an output that would replace an "
                 "input, are refused before anything is written")
      ->type_name("DIR");
  app.add_option("--name", o.name,
                 "name each output of a batch by PATTERN: {stem} the input's name without its "
                 "extension, {ext} its extension (or --format's), {n} its position among the "
                 "inputs; without --output-dir the outputs go beside their inputs (for example "
                 "--name {stem}-echoes.{ext})")
      ->type_name("PATTERN");
  app.add_flag("--in-place", o.in_place,
               "let a batch replace its inputs with their results (each only once its result is "
               "complete); without it an output that would replace an input is refused");
  app.add_flag("--first-frame", o.first_frame,
               "filter only the first frame or page of an animation or multi-page input (needed "
               "to write one as jpg or png)");
  app.add_option("--format", o.format,
                 "the output format (jpg, png, tif, webp, ...) instead of the output's "
                 "extension; needed for - as output unless the input's format will do")
      ->type_name("EXT");
  app.add_option("--quality", o.quality,
                 "1 to 100: quality of lossy outputs (JPEG default: a JPEG input's own quality, "
                 "estimated from its quantisation tables, else 90)")
      ->check(CLI::Range(1, 100));
  app.add_flag("--lossless", o.lossless, "lossless WebP (and AVIF/HEIF where the encoder can)");
  app.add_flag("--keep-orientation", o.keep_orientation,
               "filter the pixels as the file stores them and keep its EXIF orientation tag "
               "(by default a tagged photograph is turned upright first)");
  app.add_flag("--strip", o.strip,
               "write no colour profile, EXIF, XMP, IPTC or resolution (kept by default)");
  app.add_option("-j,--jobs", o.jobs, "N files at once in a batch (default: the cores)")
      ->check(CLI::Range(1, 256));
  app.add_option("--angle", o.angle,
                 "direction in degrees, 0 to 360 (default 50; 0 points right, 90 down, in the "
                 "picture as viewers show it)")
      ->check(CLI::Range(0, 360));
  app.add_option("--regions", o.regions, "number of echoes, 1 to 20 (default 8)")
      ->check(CLI::Range(1, 20));
  app.add_option("--spacing", o.spacing,
                 "band width, 5 to 100; 50 is about a fifth of the larger side (default 50)")
      ->check(CLI::Range(5, 100));
  app.add_option("--intensity", o.intensity, "blend strength, 0 to 100 (default 100)")
      ->check(CLI::Range(0, 100));
  app.add_option("--mode", o.mode, "parallel, right-angle or mixed (default parallel)")
      ->check(CLI::IsMember(kModes))
      ->type_name("MODE");
  app.add_flag("--fade", o.fade, "echoes grow weaker band by band");
  app.add_option("--center", o.center,
                 "X,Y: centre of the effect in image pixels, or X%,Y% of the picture (default: the "
                 "middle of the filter area)");
  app.add_option("--area", o.area, "X,Y,W,H: filter only this rectangle (pixels or percentages)");
  app.add_option("--selection", o.selection,
                 "a grayscale mask the size of the picture: 255 filters fully, 0 leaves it "
                 "alone")
      ->type_name("FILE");
  app.add_flag("--repeat", o.repeat, "filter with the settings of the last run");
  app.add_flag("--dialog", o.dialog,
               "show the filter's dialog first, starting from the settings the other options or "
               "--repeat give; OK filters and stores its settings, Cancel exits with 1"
#ifndef _WIN32
               " (this build has no screen: it needs --ui-script)"
#endif
  );
  app.add_option("--ui-script", o.ui_script_path,
                 "steps a scripted user plays in the dialog, one a line: wait-ready, "
                 "type ID TEXT, focus ID, click ID, key enter|esc|tab, scroll ID CODE [POS], "
                 "press|move|release VIEW X Y, tick N, expect-beeps N, expect-text ID TEXT, "
                 "snapshot dialog|ID "
                 "FILE.png (see README); the run is cancelled if the steps run out with the "
                 "dialog open, and exits with 5 if a step goes wrong")
      ->type_name("FILE");
  app.add_option("--max-space", o.max_space,
                 "BYTES the filter may allocate (default 256 MiB); less makes it work from a "
                 "reduced preview image and fetch rows as it needs them")
      ->check(CLI::Range(int64_t(0), int64_t(INT32_MAX)));
  app.add_flag("--no-display-pixels", o.no_display_pixels,
               "do not offer the host's drawing callback (the filter draws its previews itself)");
  app.add_option("--module", o.module_path,
                 "the filter module to load (default: "
#ifdef _WIN32
                 "ZORBEL.8bf beside zorbel.exe, else in its x64 or x86 folder"
#else
                 "ZORBEL.so beside the command, else in " ZORBEL_RELATIVE_MODULE_DIR
                 " from its folder, "
                 "else in " ZORBEL_INSTALLED_MODULE_DIR
#endif
                 ")")
      ->type_name("FILE");
  app.add_option("--completion", o.completion,
                 "print a completion script for SHELL (bash) made from these options, and exit")
      ->check(CLI::IsMember({"bash"}))
      ->type_name("SHELL");
  app.add_flag("--about", o.about, "show the filter's About text and exit");
  app.add_flag("--quiet,-q", o.quiet, "no progress bar and no closing message");
#ifndef _WIN32
  app.add_option("--base-units", o.base_units,
                 "X,Y[,3d]: dialog base units of the simulated screen, and Windows' sunken "
                 "control edges (to match a Windows display)")
      ->group("");
#endif
  try {
    // UTF-8 arguments on every platform (Windows: from the wide command line); CLI11 takes
    // them without the program name, last first.
    std::vector<std::string> arguments = plugin_host::utf8_arguments(argc, argv);
    if (!arguments.empty()) arguments.erase(arguments.begin());
    std::reverse(arguments.begin(), arguments.end());
    app.parse(arguments);
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
  if (!o.completion.empty()) {
    std::cout << bash_completion(app);
    return kDone;
  }
  if (o.about) return show_about(o);
  if (int status = check_dialog_options(o); status != kDone) return status;
#ifdef _WIN32
  SetConsoleOutputCP(CP_UTF8);  // file names in messages are UTF-8
#endif
  image_io::remove_partial_outputs_on_interrupt();
  return run(o, given);
}

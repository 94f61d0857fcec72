// A Photoshop-compatible filter host as a library: it loads a filter module, finds its entry
// through the PiPL, and runs Parameters, Prepare, Start, Continue and Finish on an in-memory
// image the way real hosts do. The `zorbel` command and every protocol test use it.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "filter_api/descriptors.h"
#include "filter_api/filter_api.h"
#include "filter_api/pipl.h"

namespace plugin_host {

// An 8-bit image with interleaved planes, rows top to bottom without padding.
struct Image {
  int32_t width = 0;
  int32_t height = 0;
  int32_t planes = 0;  // all planes, alpha included
  std::vector<uint8_t> pixels;

  Image() = default;
  Image(int32_t w, int32_t h, int32_t p)
      : width(w), height(h), planes(p), pixels(size_t(w) * h * p) {}
  uint8_t* at(int32_t x, int32_t y) { return pixels.data() + (size_t(y) * width + x) * planes; }
  const uint8_t* at(int32_t x, int32_t y) const {
    return pixels.data() + (size_t(y) * width + x) * planes;
  }
};

// One value of an action descriptor: a key, the type the host reports for it, and the value
// in the field of that type.
struct DescriptorItem {
  uint32_t key = 0;
  uint32_t type = 0;        // filter_api::typeInteger, typeFloat, typeUnitFloat, ...
  int32_t integer = 0;      // typeInteger
  double number = 0;        // typeFloat, typeUnitFloat
  uint32_t unit = 0;        // typeUnitFloat: filter_api::unitAngle, ...
  bool boolean = false;     // typeBoolean
  uint32_t enum_type = 0;   // typeEnumerated: the enumeration
  uint32_t enum_value = 0;  // typeEnumerated: its value
  std::string bytes;        // typeText, typeAlias, and the data of any other type
};

// The keyed values of one action step, as Photoshop keeps them in a recorded action, in the
// order they were put. Putting a key again replaces its value.
struct Descriptor {
  std::vector<DescriptorItem> items;

  const DescriptorItem* find(uint32_t key) const;
  Descriptor& put(const DescriptorItem& item);
  Descriptor& put_integer(uint32_t key, int32_t value);
  Descriptor& put_float(uint32_t key, double value);
  Descriptor& put_unit_float(uint32_t key, uint32_t unit, double value);
  Descriptor& put_boolean(uint32_t key, bool value);
  Descriptor& put_enumerated(uint32_t key, uint32_t enum_type, uint32_t value);
  Descriptor& put_text(uint32_t key, const std::string& text);

  // The bytes of the host's descriptor handles: a 32-bit count, then per value its key, type,
  // data size and data (little-endian). parse refuses anything else (nothing on a damaged
  // handle), so a host never reads past a handle's end.
  std::vector<uint8_t> bytes() const;
  static std::optional<Descriptor> parse(const uint8_t* data, std::size_t size);
};

// A host with Photoshop's scripting: it offers the descriptor suites and handle procedures,
// tells the module how to play (filter_api::plugInDialogDontDisplay, ...Display, ...Silent)
// and, when it plays a recorded step, hands it that step's descriptor before the first call.
struct Scripting {
  int16_t play = filter_api::plugInDialogDisplay;
  std::optional<Descriptor> descriptor;                  // the step played, if any
  std::optional<std::vector<uint8_t>> descriptor_bytes;  // raw handle bytes instead
  // Tables that say they hold fewer procedures than the interface has (17 and 15), as a
  // host from before them would: a module must not use them.
  bool short_tables = false;
  // Report an enumerated value's type as its enumeration ('zbMT') instead of 'enum', as
  // Paint.NET's 8bf host does.
  bool enum_type_as_type = false;
};

// What a scripting host saw of the module's use of the suites.
struct ScriptingOutcome {
  std::optional<Descriptor> recorded;  // the descriptor the module left to be recorded
  int16_t record_info = -1;            // the recordInfo it left (-1: untouched)
  bool played_disposed = false;        // the module gave the played handle back
  int32_t refused_calls = 0;           // getter or put calls refused (another type, unknown token)
  int32_t leaked_handles = 0;          // handles the host made that the module neither gave back
                                       // nor left to be recorded
  int32_t unclosed_tokens = 0;         // readers and writers opened and never closed
};

// A rectangle in image pixels, right and bottom exclusive.
struct Area {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

struct RunOptions {
  int16_t image_mode = filter_api::plugInModeRGBColor;
  int32_t color_planes = 3;                         // planes the filter sees; the rest pass through
  std::optional<Area> filter_area;                  // the whole image when absent
  const std::vector<uint8_t>* selection = nullptr;  // width * height bytes, 255 = selected
  int32_t max_space = 256 * 1024 * 1024;            // bytes the module may allocate
  bool ask_for_dialog = false;  // call Parameters first, as an interactive run does
  bool call_finish = true;      // some hosts never call Finish after success
  bool offer_display_pixels = true;
  int32_t row_padding = 0;     // extra bytes after each delivered input row
  bool reuse_buffers = false;  // keep the input buffer while inRect is unchanged, as some hosts do
  // Hand the module pointers into the image itself, as editors that keep the picture in memory
  // do, wherever the requested planes are all of the image's (no alpha beside them, no padding);
  // otherwise buffers as above.
  bool point_into_image = false;
  // How the host hands over the stored parameters: a global block (as Photoshop and GIMP's 8bf
  // host do), or a handle of its own heap, a cell holding the data's address, with or without
  // the handle procedures that read it (as Paint.NET's 8bf host does, with them).
  enum class Parameters { kGlobalBlock, kHostHeap, kHostHeapWithoutProcs };
  Parameters parameters = Parameters::kGlobalBlock;
  // Where the result goes, reused when it already has the image's size (an editor's layer
  // buffer; after a failed run its content is undefined); when null, the image itself
  // receives the result.
  Image* destination = nullptr;
  // Where the result goes instead, row by row: each row of the result (every plane, width *
  // planes bytes), top to bottom, handed on once the module has moved past it, so that only a
  // band of rows is ever held besides the image, which is left as it is. Rows are handed on
  // while the run goes: after a failed run the rows already handed on are to be thrown away.
  // A false answer ends the run (host_error). A module that goes back to rows already handed
  // on fails the run the same way.
  std::function<bool(int32_t y, const uint8_t* row)> rows;
  int64_t max_continue_calls = 0;  // 0: a bound derived from the image size
  HWND window = nullptr;           // the host's window, owner of the module's dialogs
  std::function<void(int32_t done, int32_t total)> progress;
  // What the host's abortProc answers: true once the user asked to stop. Without it the
  // host never asks the module to stop.
  std::function<bool()> abort;
  bool floating = false;  // the selection is floating (isFloating), as a pasted layer is
  // A host that calls the selectors it likes: when not empty, exactly these are called in
  // this order instead of the usual run, each whatever the last returned (About with an
  // AboutRecord, any other number with the FilterRecord), buffers delivered before each
  // Continue as usual. The image is changed only when every call succeeded and the run ended.
  std::vector<int16_t> selectors;
  // Photoshop's scripting interface (actions, batches, smart filters); without it the host
  // offers none, as every other host does, and the record is filled exactly as before.
  std::optional<Scripting> scripting;
};

// What the module asked for before one Continue call.
struct Request {
  filter_api::Rect in, out, mask;
};

struct RunResult {
  int16_t result = 0;            // the first nonzero result, or 0
  int16_t failed_selector = -1;  // the selector that reported it, or -1
  int64_t continue_calls = 0;
  bool finish_called = false;
  bool continue_bound_reached = false;  // the module kept asking past the bound
  std::string host_error;               // a request the host refused (outside the image, ...)
  std::vector<Request> requests;        // the rectangles delivered to each Continue call
  Request left{};  // the rectangles the module left in the record when the run ended
  std::optional<ScriptingOutcome> scripting;  // with RunOptions::scripting
  bool ok() const { return result == 0 && !continue_bound_reached && host_error.empty(); }
};

class Module {
 public:
  // Loads a module file; null with the reason in *error when it is not a usable filter.
  static std::unique_ptr<Module> load(const std::string& path, std::string* error);
  // A module linked into this program: its resources are those of `resources` and its entry
  // the given function. Tests use it to look at the module's state between runs.
  static std::unique_ptr<Module> linked(HMODULE resources, filter_api::FilterEntry entry,
                                        std::string* error);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // The About box (selector 0); returns the result word.
  int16_t about(HWND window);

  // Runs the filter on the image; on success the image (or options.destination, when given)
  // holds the result, or options.rows has had every row of it; otherwise the image is left as
  // it was.
  RunResult run(Image& image, const RunOptions& options);

  // The module's stored parameter bytes kept between runs, if it made any.
  std::optional<std::vector<uint8_t>> parameters() const;
  // Hands the module stored parameter bytes, as a host restores them for a repeat run.
  void set_parameters(const std::vector<uint8_t>& bytes);

  const filter_api::Pipl& pipl() const { return pipl_; }
  // fici flags of a filter case (1..7), 0 when the module declares none.
  uint8_t case_flags(int case_number) const;

 private:
  Module() = default;
  void free_parameters();

  // Reads the PiPL of `library` and checks that it describes a filter module.
  bool read_registration(HMODULE library, std::string* why);

  HMODULE library_ = nullptr;  // freed with the module; null for a linked module
  filter_api::FilterEntry entry_ = nullptr;
  filter_api::Pipl pipl_;
  char** parameters_ = nullptr;  // an HGLOBAL the module made, kept between runs
  intptr_t data_ = 0;
};

// The bytes a host pre-fills an output buffer with when the module asks for no copy, so
// that a pixel the module forgets to write shows.
constexpr uint8_t kPoison = 0xA5;

}  // namespace plugin_host

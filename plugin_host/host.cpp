// The host side of the filter protocol: loading a module, filling the parameter block as
// hosts do, and the Continue loop that delivers fresh input, output and mask buffers for
// the rectangles the module asks for and commits its output.
#include <algorithm>
#include <cstring>

#include "plugin_host/arguments.h"
#include "plugin_host/descriptor_suites.h"
#include "plugin_host/plugin_host.h"
#ifndef _WIN32
#include "headless_win32/headless.h"
#endif

namespace plugin_host {
namespace fa = filter_api;

namespace {

bool empty(const fa::Rect& r) { return r.left >= r.right || r.top >= r.bottom; }

// Copies `count` pixels of `planes` bytes between rows whose pixels are `from_step` and
// `to_step` bytes apart (the image keeps planes the module does not see, such as alpha).
void copy_planes(const uint8_t* from, int32_t from_step, uint8_t* to, int32_t to_step,
                 int32_t count, int32_t planes) {
  if (from_step == planes && to_step == planes) {
    std::memcpy(to, from, size_t(count) * size_t(planes));
    return;
  }
  for (int32_t x = 0; x < count; ++x, from += from_step, to += to_step)
    for (int32_t p = 0; p < planes; ++p) to[p] = from[p];
}

// The host blends the result into the original by the selection: row y of the result, within
// the filter area (and the image).
void blend_row(const Image& image, const RunOptions& options, const Area& area, int32_t y,
               uint8_t* result_row) {
  if (y < std::max(area.top, 0) || y >= std::min(area.bottom, image.height)) return;
  const uint8_t* mask = options.selection->data() + size_t(y) * image.width;
  for (int32_t x = std::max(area.left, 0); x < std::min(area.right, image.width); ++x) {
    int32_t m = mask[x];
    uint8_t* to = result_row + size_t(x) * image.planes;
    const uint8_t* from = image.at(x, y);
    for (int32_t p = 0; p < options.color_planes; ++p)
      to[p] = uint8_t((from[p] * (255 - m) + to[p] * m + 127) / 255);
  }
}

std::string describe(const fa::Rect& r) {
  return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + ")-(" +
         std::to_string(r.right) + "," + std::to_string(r.bottom) + ")";
}

// One run: the image, the record and the buffers handed to the module.
struct Run {
  const RunOptions* options = nullptr;
  const Image* source = nullptr;
  Area area;
  Image* destination = nullptr;  // source plus every committed output
  Image own_destination;         // the destination when the caller gives none
  // Handing rows on (options->rows) instead of a destination: the band holds whole rows
  // [band_top, band_end) of the result, band_top being the first row not yet handed on.
  bool streaming = false;
  bool poison_band = false;  // new band rows need no copy of the image: the module writes them
  std::vector<uint8_t> band;
  int32_t band_top = 0, band_end = 0;
  std::unique_ptr<fa::FilterRecord> record;
  fa::PlatformData platform{};
  bool poison_output = false;
  std::vector<uint8_t> in_buffer, out_buffer, mask_buffer;
  fa::Rect committed_out{0, 0, 0, 0};  // the output rectangle of the last delivery
  int16_t committed_lo = 0, committed_hi = -1;
  fa::Rect delivered_in{0, 0, 0, 0};  // the input rectangle of the last delivery
  int16_t delivered_lo = 0, delivered_hi = -1;
  std::string error;

  bool inside_image(const fa::Rect& r) const {
    return r.left >= 0 && r.top >= 0 && r.right <= source->width && r.bottom <= source->height;
  }

  size_t image_row_bytes() const { return size_t(source->width) * size_t(source->planes); }

  // Pixel (x, y) of the result: in the destination, or in the band when rows are handed on.
  uint8_t* result_at(int32_t x, int32_t y) {
    if (!streaming) return destination->at(x, y);
    return band.data() + size_t(y - band_top) * image_row_bytes() + size_t(x) * source->planes;
  }

  // Writes the module's output of the last delivery into the result.
  void commit() {
    const fa::Rect& r = committed_out;
    if (empty(r) || out_buffer.empty()) return;
    int32_t planes = committed_hi - committed_lo + 1;
    int32_t row_bytes = (r.right - r.left) * planes;
    for (int32_t y = r.top; y < r.bottom; ++y) {
      const uint8_t* from = out_buffer.data() + size_t(y - r.top) * row_bytes;
      copy_planes(from, planes, result_at(r.left, y) + committed_lo, source->planes,
                  r.right - r.left, planes);
    }
  }

  // Hands on every row above `end`: the band's rows, blended by the selection, and below the
  // band the image's own rows, which no output request has touched.
  bool hand_on_until(int32_t end) {
    const size_t row_bytes = image_row_bytes();
    int32_t y = band_top;
    for (; y < end; ++y) {
      const uint8_t* row = source->at(0, y);
      if (y < band_end) {
        uint8_t* result = band.data() + size_t(y - band_top) * row_bytes;
        if (options->selection != nullptr) blend_row(*source, *options, area, y, result);
        row = result;
      }
      if (!options->rows(y, row)) {
        error = "row " + std::to_string(y) + " of the result could not be handed on";
        return false;
      }
    }
    // The rows still wanted move to the front of the band.
    const int32_t kept = std::max(band_end - end, 0);
    if (kept > 0 && end > band_top)
      std::memmove(band.data(), band.data() + size_t(end - band_top) * row_bytes,
                   size_t(kept) * row_bytes);
    band_top = end;
    band_end = std::max(band_end, end);
    band.resize(size_t(kept) * row_bytes);
    return true;
  }

  // Makes the band reach from the output request's top to at least its bottom, handing on
  // the rows above it; false when the module goes back to a row already handed on.
  bool move_band(const fa::Rect& out) {
    if (out.top < band_top) {
      error = "output request " + describe(out) + " returns to rows already handed on";
      return false;
    }
    if (!hand_on_until(out.top)) return false;
    const int32_t old_end = band_end;
    if (out.bottom <= old_end) return true;
    const size_t row_bytes = image_row_bytes();
    band.resize(size_t(out.bottom - band_top) * row_bytes);
    uint8_t* fresh = band.data() + size_t(old_end - band_top) * row_bytes;
    const size_t fresh_bytes = size_t(out.bottom - old_end) * row_bytes;
    if (poison_band)
      std::memset(fresh, kPoison, fresh_bytes);
    else
      std::memcpy(fresh, source->at(0, old_end), fresh_bytes);
    band_end = out.bottom;
    return true;
  }

  // Hands over fresh buffers for the rectangles now in the record; false when the module
  // asked for something no host would deliver.
  bool deliver() {
    fa::FilterRecord& f = *record;
    bool same_input = options->reuse_buffers && !in_buffer.empty() &&
                      std::memcmp(&f.inRect, &delivered_in, sizeof f.inRect) == 0 &&
                      f.inLoPlane == delivered_lo && f.inHiPlane == delivered_hi;
    // Fresh buffers every time, the old ones freed, as hosts that reallocate do; or the
    // same input while the module asks for the same rectangle.
    void* kept_in = same_input ? in_buffer.data() : nullptr;
    int32_t kept_row_bytes = f.inRowBytes;
    if (!same_input) std::vector<uint8_t>().swap(in_buffer);
    std::vector<uint8_t>().swap(out_buffer);
    std::vector<uint8_t>().swap(mask_buffer);
    f.inData = f.outData = f.maskData = nullptr;
    f.inRowBytes = f.outRowBytes = f.maskRowBytes = 0;
    committed_out = fa::Rect{0, 0, 0, 0};
    auto planes_ok = [&](int16_t lo, int16_t hi) {
      return lo >= 0 && lo <= hi && hi < options->color_planes;
    };
    auto whole_pixels = [&](const Image& image, int16_t lo, int16_t hi) {
      return options->point_into_image && options->row_padding == 0 && lo == 0 &&
             hi == image.planes - 1 && planes_ok(lo, hi);
    };
    if (same_input) {
      f.inData = kept_in;
      f.inRowBytes = kept_row_bytes;
    } else if (!empty(f.inRect) && inside_image(f.inRect) &&
               whole_pixels(*source, f.inLoPlane, f.inHiPlane)) {
      f.inData = const_cast<uint8_t*>(source->at(f.inRect.left, f.inRect.top));
      f.inRowBytes = source->width * source->planes;
    } else if (!empty(f.inRect)) {
      if (!inside_image(f.inRect) || !planes_ok(f.inLoPlane, f.inHiPlane)) {
        error = "input request " + describe(f.inRect) + " lies outside the image";
        return false;
      }
      int32_t planes = f.inHiPlane - f.inLoPlane + 1;
      int32_t row_bytes = (f.inRect.right - f.inRect.left) * planes + options->row_padding;
      in_buffer.assign(size_t(row_bytes) * (f.inRect.bottom - f.inRect.top), 0);
      for (int32_t y = f.inRect.top; y < f.inRect.bottom; ++y)
        copy_planes(source->at(f.inRect.left, y) + f.inLoPlane, source->planes,
                    in_buffer.data() + size_t(y - f.inRect.top) * row_bytes, planes,
                    f.inRect.right - f.inRect.left, planes);
      f.inData = in_buffer.data();
      f.inRowBytes = row_bytes;
      delivered_in = f.inRect;
      delivered_lo = f.inLoPlane;
      delivered_hi = f.inHiPlane;
    }
    if (!empty(f.outRect)) {
      const fa::Rect& area = f.filterRect;
      // Inside the filter area, and inside the image too, should a host's filter area
      // reach past it.
      bool inside = f.outRect.left >= area.left && f.outRect.top >= area.top &&
                    f.outRect.right <= area.right && f.outRect.bottom <= area.bottom &&
                    inside_image(f.outRect);
      if (!inside || !planes_ok(f.outLoPlane, f.outHiPlane)) {
        error = "output request " + describe(f.outRect) + " lies outside the filter area";
        return false;
      }
      if (streaming && !move_band(f.outRect)) return false;
      if (whole_pixels(*source, f.outLoPlane, f.outHiPlane)) {
        // The module writes straight into the result: nothing to commit afterwards.
        f.outData = result_at(f.outRect.left, f.outRect.top);
        f.outRowBytes = int32_t(image_row_bytes());
        return deliver_mask();
      }
      int32_t planes = f.outHiPlane - f.outLoPlane + 1;
      int32_t row_bytes = (f.outRect.right - f.outRect.left) * planes;
      out_buffer.assign(size_t(row_bytes) * (f.outRect.bottom - f.outRect.top), kPoison);
      if (!poison_output) {
        for (int32_t y = f.outRect.top; y < f.outRect.bottom; ++y)
          copy_planes(result_at(f.outRect.left, y) + f.outLoPlane, source->planes,
                      out_buffer.data() + size_t(y - f.outRect.top) * row_bytes, planes,
                      f.outRect.right - f.outRect.left, planes);
      }
      f.outData = out_buffer.data();
      f.outRowBytes = row_bytes;
      committed_out = f.outRect;
      committed_lo = f.outLoPlane;
      committed_hi = f.outHiPlane;
    }
    return deliver_mask();
  }

  bool deliver_mask() {
    fa::FilterRecord& f = *record;
    if (!empty(f.maskRect) && options->selection != nullptr) {
      if (!inside_image(f.maskRect)) {
        error = "mask request " + describe(f.maskRect) + " lies outside the image";
        return false;
      }
      int32_t width = f.maskRect.right - f.maskRect.left;
      mask_buffer.resize(size_t(width) * (f.maskRect.bottom - f.maskRect.top));
      for (int32_t y = f.maskRect.top; y < f.maskRect.bottom; ++y)
        std::memcpy(mask_buffer.data() + size_t(y - f.maskRect.top) * width,
                    options->selection->data() + size_t(y) * source->width + f.maskRect.left,
                    size_t(width));
      f.maskData = mask_buffer.data();
      f.maskRowBytes = width;
    }
    return true;
  }
};

thread_local Run* current_run = nullptr;

// Handles of the host's own heap: the handle is the address of a cell holding the data's
// address, so that *handle is the data, as Mac-style handles are; the size sits beside it.
// GlobalSize knows nothing of them.
struct HeapHandle {
  char* data = nullptr;
  int32_t size = 0;
};

HeapHandle* heap_cell(char** handle) { return reinterpret_cast<HeapHandle*>(handle); }
fa::OSErr heap_set_size(char** handle, int32_t size) {
  if (handle == nullptr || size < 0) return fa::filterBadParameters;
  HeapHandle* cell = heap_cell(handle);
  char* data = new char[size_t(size) + 1]();
  std::memcpy(data, cell->data, size_t(std::min(size, cell->size)));
  delete[] cell->data;
  cell->data = data;
  cell->size = size;
  return fa::noErr;
}
void* heap_lock(char** handle, fa::Boolean) { return handle == nullptr ? nullptr : *handle; }
void heap_unlock(char**) {}
void heap_recover(int32_t) {}

}  // namespace

char** detail::heap_new(int32_t size) {
  if (size < 0) return nullptr;
  auto* cell = new HeapHandle;
  cell->data = new char[size_t(size) + 1]();
  cell->size = size;
  return &cell->data;
}
void detail::heap_dispose(char** handle) {
  if (handle == nullptr) return;
  descriptor_handle_disposed(handle);  // a scripting run's handle is given back
  delete[] heap_cell(handle)->data;
  delete heap_cell(handle);
}
int32_t detail::heap_size(char** handle) { return handle == nullptr ? 0 : heap_cell(handle)->size; }

namespace {

using detail::heap_dispose;
using detail::heap_new;
using detail::heap_size;

const fa::HandleProcs kHeapProcs{
    1,         8,           heap_new,     heap_dispose, heap_size, heap_set_size,
    heap_lock, heap_unlock, heap_recover, heap_dispose};

fa::Boolean abort_proc() {
  bool stop =
      current_run != nullptr && current_run->options->abort && current_run->options->abort();
  return stop ? 1 : 0;
}

void progress_proc(int32_t done, int32_t total) {
  if (current_run != nullptr && current_run->options->progress)
    current_run->options->progress(done, total);
}

fa::OSErr advance_state() {
  if (current_run == nullptr) return fa::filterBadParameters;
  current_run->commit();
  return current_run->deliver() ? fa::noErr : fa::filterBadParameters;
}

// Draws a region of a pixel map into a device context, as 24-bit screen pixels.
fa::OSErr display_pixels(const fa::PSPixelMap* source, const fa::VRect* area, int32_t row,
                         int32_t column, void* context) {
  if (source == nullptr || area == nullptr || context == nullptr || source->baseAddr == nullptr ||
      source->rowBytes <= 0 || source->colBytes <= 0)
    return fa::filterBadParameters;
  int32_t width = area->right - area->left, height = area->bottom - area->top;
  if (width <= 0 || height <= 0) return fa::noErr;
  int32_t stride = (width * 3 + 3) & ~3;
  std::vector<uint8_t> bgr(size_t(stride) * height);
  const bool cmyk = source->imageMode == fa::plugInModeCMYKColor;
  const bool colour = source->colBytes >= 3;
  for (int32_t y = 0; y < height; ++y) {
    const auto* from = static_cast<const uint8_t*>(source->baseAddr) +
                       int64_t(area->top + y) * source->rowBytes +
                       int64_t(area->left) * source->colBytes;
    uint8_t* to = bgr.data() + size_t(height - 1 - y) * stride;  // bottom-up
    const int32_t step = source->colBytes;
    if (cmyk) {
      for (int32_t x = 0; x < width; ++x, from += step, to += 3) {
        to[2] = uint8_t(255 - std::min(255, from[0] + from[3]));
        to[1] = uint8_t(255 - std::min(255, from[1] + from[3]));
        to[0] = uint8_t(255 - std::min(255, from[2] + from[3]));
      }
    } else if (colour) {
      for (int32_t x = 0; x < width; ++x, from += step, to += 3) {
        to[0] = from[2];
        to[1] = from[1];
        to[2] = from[0];
      }
    } else {
      for (int32_t x = 0; x < width; ++x, from += step, to += 3) to[0] = to[1] = to[2] = from[0];
    }
  }
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  SetDIBitsToDevice(static_cast<HDC>(context), column, row, DWORD(width), DWORD(height), 0, 0, 0,
                    UINT(height), bgr.data(), &info, DIB_RGB_COLORS);
  return fa::noErr;
}

}  // namespace

const fa::HandleProcs* detail::heap_procs() { return &kHeapProcs; }

std::unique_ptr<Module> Module::load(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<Module> {
    if (error != nullptr) *error = path + ": " + why;
    return nullptr;
  };
#ifdef _WIN32
  // By its wide name, so that a module in a folder named in any script loads.
  std::wstring wide_path;
  HMODULE library = to_wide(path, &wide_path) ? LoadLibraryW(wide_path.c_str()) : nullptr;
#else
  HMODULE library = LoadLibraryA(path.c_str());
#endif
  if (library == nullptr) {
#ifdef _WIN32
    return fail("cannot be loaded (Windows error " + std::to_string(GetLastError()) + ")");
#else
    return fail("cannot be loaded: " + headless::last_library_error());
#endif
  }
  std::unique_ptr<Module> module(new Module());
  module->library_ = library;
  std::string why;
  if (!module->read_registration(library, &why)) return fail(why);
  // The entry of this machine's code first; hosts that find the other key use it too.
  bool x64 = sizeof(void*) == 8;
#ifndef _WIN32
  x64 = false;  // the Linux build of a module carries the x86 records
#endif
  auto name = fa::pipl_entry_name(module->pipl_, x64);
  if (!name) name = fa::pipl_entry_name(module->pipl_, !x64);
  if (!name) return fail("its PiPL names no entry point");
  void* entry = reinterpret_cast<void*>(GetProcAddress(library, name->c_str()));
  if (entry == nullptr) return fail("it does not export its entry point " + *name);
  module->entry_ = reinterpret_cast<fa::FilterEntry>(entry);
  return module;
}

std::unique_ptr<Module> Module::linked(HMODULE resources, fa::FilterEntry entry,
                                       std::string* error) {
  std::unique_ptr<Module> module(new Module());
  if (!module->read_registration(resources, error)) return nullptr;
  module->entry_ = entry;
  return module;
}

bool Module::read_registration(HMODULE library, std::string* why) {
  HRSRC found = nullptr;
  for (WORD id : {WORD(1), WORD(16000)}) {
    found = FindResourceA(library, MAKEINTRESOURCEA(id), "PIPL");
    if (found != nullptr) break;
  }
  if (found == nullptr) {
    *why = "not a filter module (no PiPL resource)";
    return false;
  }
  const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(library, found)));
  std::string damage;
  auto pipl = fa::read_pipl(bytes, SizeofResource(library, found), &damage);
  if (!pipl) {
    *why = "its PiPL is damaged: " + damage;
    return false;
  }
  pipl_ = *pipl;
  const fa::PiplProperty* kind = pipl_.find(fa::fourcc("kind"));
  if (kind == nullptr || kind->data.size() < 4 ||
      std::string(kind->data.begin(), kind->data.begin() + 4) != "MFB8") {
    *why = "not a filter module (its kind is not 8BFM)";
    return false;
  }
  return true;
}

Module::~Module() {
  free_parameters();
  if (library_ != nullptr) FreeLibrary(library_);
}

void Module::free_parameters() {
  if (parameters_ != nullptr) GlobalFree(reinterpret_cast<HGLOBAL>(parameters_));
  parameters_ = nullptr;
}

uint8_t Module::case_flags(int case_number) const {
  const fa::PiplProperty* fici = pipl_.find(fa::fourcc("fici"));
  size_t at = size_t(case_number - 1) * 4 + 2;
  if (fici == nullptr || case_number < 1 || at >= fici->data.size()) return 0;
  return fici->data[at];
}

int16_t Module::about(HWND window) {
  fa::PlatformData platform{};
  platform.hwnd = window;
  fa::AboutRecord record{};
  record.platformData = &platform;
  int16_t result = 1;  // some hosts pre-set a failure; the module must overwrite it
  entry_(fa::filterSelectorAbout, &record, &data_, &result);
  return result;
}

std::optional<std::vector<uint8_t>> Module::parameters() const {
  if (parameters_ == nullptr) return std::nullopt;
  auto handle = reinterpret_cast<HGLOBAL>(parameters_);
  SIZE_T size = GlobalSize(handle);
  const auto* bytes = static_cast<const uint8_t*>(GlobalLock(handle));
  if (bytes == nullptr) return std::nullopt;
  std::vector<uint8_t> copy(bytes, bytes + size);
  GlobalUnlock(handle);
  return copy;
}

void Module::set_parameters(const std::vector<uint8_t>& bytes) {
  free_parameters();
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  if (handle == nullptr) return;
  if (void* data = GlobalLock(handle)) {  // a block of no bytes has no memory to lock
    std::memcpy(data, bytes.data(), bytes.size());
    GlobalUnlock(handle);
  }
  parameters_ = reinterpret_cast<char**>(handle);
}

RunResult Module::run(Image& image, const RunOptions& options) {
  RunResult outcome;
  Run run;
  run.options = &options;
  run.source = &image;
  Area area = options.filter_area.value_or(Area{0, 0, image.width, image.height});
  run.area = area;
  bool selected = options.selection != nullptr;
  run.poison_output = (case_flags(selected ? 2 : 1) & fa::PIFilterDontCopyToDestination) != 0;
  // The module writes every pixel of what it asks for itself when it asks for no copy and it is
  // handed every plane in place: rows it will write need no copy of the image.
  const bool written_in_place = run.poison_output && options.point_into_image &&
                                options.color_planes == image.planes && area.left == 0 &&
                                area.right == image.width;
  run.streaming = static_cast<bool>(options.rows);
  run.poison_band = written_in_place;
  // The destination starts as a copy of the image; a caller's buffer of the same size is reused,
  // and is not even copied into when the module writes every pixel of it.
  Image* destination = options.destination != nullptr ? options.destination : &run.own_destination;
  if (run.streaming) {
    destination = nullptr;
  } else if (destination->pixels.size() == image.pixels.size()) {
    bool written_whole = written_in_place && area.top == 0 && area.bottom == image.height;
    destination->width = image.width;
    destination->height = image.height;
    destination->planes = image.planes;
    if (!written_whole && !image.pixels.empty())
      std::memcpy(destination->pixels.data(), image.pixels.data(), image.pixels.size());
  } else {
    *destination = image;
  }
  run.destination = destination;
  run.record = std::make_unique<fa::FilterRecord>();
  run.platform.hwnd = options.window;
  fa::FilterRecord& f = *run.record;
  f.abortProc = abort_proc;
  f.progressProc = progress_proc;
  f.imageSize = fa::Point{int16_t(image.height), int16_t(image.width)};
  f.planes = int16_t(options.color_planes);
  f.filterRect =
      fa::Rect{int16_t(area.top), int16_t(area.left), int16_t(area.bottom), int16_t(area.right)};
  f.background = fa::RGBColor{65535, 65535, 65535};
  f.foreground = fa::RGBColor{0, 0, 0};
  f.maxSpace = options.max_space;
  f.bufferSpace = options.max_space;
  f.haveMask = selected ? 1 : 0;
  f.autoMask = 1;
  f.hostSig = fa::fourcc("ZRBL");
  f.imageMode = options.image_mode;
  f.imageHRes = f.imageVRes = 72 << 16;
  f.wholeSize = f.imageSize;
  f.platformData = &run.platform;
  f.displayPixels = options.offer_display_pixels ? display_pixels : nullptr;
  f.isFloating = options.floating ? 1 : 0;
  f.filterCase =
      selected ? fa::filterCaseFlatImageWithSelection : fa::filterCaseFlatImageNoSelection;
  f.advanceState = advance_state;
  f.depth = 8;
  f.inputRate = f.maskRate = 1 << 16;

  // The stored parameters as this host keeps them: the module's global block itself, or its
  // bytes copied into a handle of the host's heap (and back after the run).
  const bool heap = options.parameters != RunOptions::Parameters::kGlobalBlock;
  char** heap_parameters = nullptr;
  char** heap_made = nullptr;  // the host's own handle, to tell it from one the module makes
  if (heap) {
    if (options.parameters == RunOptions::Parameters::kHostHeap)
      f.handleProcs = const_cast<fa::HandleProcs*>(&kHeapProcs);
    if (auto bytes = parameters()) {
      heap_parameters = heap_made = heap_new(int32_t(bytes->size()));
      std::memcpy(*heap_parameters, bytes->data(), bytes->size());
    }
  }
  // A scripting host (Photoshop) offers the descriptor suites, and its handle procedures to
  // give descriptors back with; other hosts leave both as they were.
  std::unique_ptr<detail::DescriptorSession> scripting;
  if (options.scripting) {
    scripting = std::make_unique<detail::DescriptorSession>(*options.scripting);
    f.descriptorParameters = scripting->parameters();
    if (options.parameters != RunOptions::Parameters::kHostHeapWithoutProcs)
      f.handleProcs = const_cast<fa::HandleProcs*>(&kHeapProcs);
  }
  Run* outer = current_run;
  current_run = &run;
  auto call = [&](int16_t selector) {
    f.parameters = heap ? heap_parameters : parameters_;
    int16_t result = 0;
    entry_(selector, &f, &data_, &result);
    if (heap) {
      heap_parameters = f.parameters;
    } else if (f.parameters != parameters_) {
      // The module made a record of its own in place of a handle it could not read: the
      // host's handle is given back.
      free_parameters();
      parameters_ = f.parameters;
    }
    if (result != 0 && outcome.result == 0) {
      outcome.result = result;
      outcome.failed_selector = selector;
    }
    return result == 0;
  };
  auto finish = [&] {
    if (!options.call_finish) return;
    outcome.finish_called = true;
    call(fa::filterSelectorFinish);
  };

  const int64_t bound = options.max_continue_calls > 0
                            ? options.max_continue_calls
                            : 1024 + 24 * int64_t(std::max(area.bottom - area.top, 0));
  auto rectangles_left = [&] {
    return !empty(f.inRect) || !empty(f.outRect) || (selected && !empty(f.maskRect));
  };
  // One Continue call with fresh buffers; false when it failed, when the host refused the
  // request (host_error) or when the module kept asking past the bound.
  auto continue_once = [&] {
    if (outcome.continue_calls >= bound) {
      outcome.continue_bound_reached = true;
      return false;
    }
    run.commit();
    if (!run.deliver()) {
      outcome.host_error = run.error;
      return false;
    }
    ++outcome.continue_calls;
    outcome.requests.push_back({f.inRect, f.outRect, f.maskRect});
    return call(fa::filterSelectorContinue);
  };

  bool ok = true;
  if (options.selectors.empty()) {
    ok = (!options.ask_for_dialog || call(fa::filterSelectorParameters)) &&
         call(fa::filterSelectorPrepare) && call(fa::filterSelectorStart);
    if (ok) {
      while (ok && rectangles_left()) ok = continue_once();
      if (ok) run.commit();
      finish();
    }
  } else {
    for (int16_t selector : options.selectors) {
      if (selector == fa::filterSelectorContinue) {
        ok = continue_once() && ok;
        if (!outcome.host_error.empty() || outcome.continue_bound_reached) break;
      } else if (selector == fa::filterSelectorAbout) {
        fa::AboutRecord about{};
        about.platformData = &run.platform;
        int16_t result = 0;
        entry_(selector, &about, &data_, &result);
        if (result != 0 && outcome.result == 0) {
          outcome.result = result;
          outcome.failed_selector = selector;
        }
        ok = ok && result == 0;
      } else {
        outcome.finish_called = outcome.finish_called || selector == fa::filterSelectorFinish;
        ok = call(selector) && ok;
      }
    }
    ok = ok && !rectangles_left();
    if (ok) run.commit();
  }
  outcome.left = Request{f.inRect, f.outRect, f.maskRect};
  current_run = outer;
  if (scripting) outcome.scripting = scripting->finish();
  if (heap && heap_parameters != nullptr) {
    // Keep what the run left: the bytes of the host's own handle, or a global block the
    // module made in its place (the host's handle is then given back).
    if (heap_parameters == heap_made) {
      set_parameters(
          std::vector<uint8_t>(*heap_parameters, *heap_parameters + heap_size(heap_parameters)));
    } else {
      free_parameters();
      parameters_ = heap_parameters;
    }
  }
  heap_dispose(heap_made);
  if (!outcome.ok() || !ok) return outcome;

  if (run.streaming) {
    // The rows after the last band, and the band itself.
    if (!run.hand_on_until(image.height)) outcome.host_error = run.error;
    return outcome;
  }
  if (selected) {
    for (int32_t y = std::max(area.top, 0); y < std::min(area.bottom, image.height); ++y)
      blend_row(image, options, area, y, destination->at(0, y));
  }
  if (options.destination == nullptr) image = std::move(run.own_destination);
  return outcome;
}

}  // namespace plugin_host

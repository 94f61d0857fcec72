// Image files through libvips, for the builds that are not Windows: every format this
// libvips reads, written as PNG, JPEG, TIFF, WebP, HEIF or AVIF (as far as it writes them),
// with the ICC profile, EXIF, XMP, IPTC and resolution carried over.
// Our headers first: they define TRUE and FALSE as Windows does, which GLib then keeps.
#include "image_files/image_io.h"
//
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips8>

#include "image_files/embedded_metadata.h"
#include "image_files/exif.h"
#include "image_files/orientation.h"
#include "plugin_host/arguments.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace image_io {
namespace {

// The writable formats: the word WriteOptions uses, the extensions that ask for it, the libvips
// saver, and what the format holds (frames: an animation or pages, from a tall image of frames
// one under the other with its page height, delays and loop count; HEIF holds them as a
// collection of pictures, without delays).
struct Format {
  const char* word;
  const char* extensions[3];
  const char* saver;
  bool alpha, cmyk, lossy, frames;
};
const Format kFormats[] = {
    {"png", {"png", nullptr, nullptr}, "pngsave", true, false, false, false},
    {"jpeg", {"jpg", "jpeg", "jpe"}, "jpegsave", false, true, true, false},
    {"tiff", {"tif", "tiff", nullptr}, "tiffsave", true, true, false, true},
    {"webp", {"webp", nullptr, nullptr}, "webpsave", true, false, true, true},
    {"heif", {"heic", "heif", nullptr}, "heifsave", true, false, true, true},
    {"avif", {"avif", nullptr, nullptr}, "heifsave", true, false, true, true},
    {"gif", {"gif", nullptr, nullptr}, "gifsave", true, false, false, true},
};

// The most frames one output holds: libvips' largest image height over the frame's.
int64_t max_frames(int32_t frame_height) { return 10000000 / std::max<int32_t>(frame_height, 1); }

// Whether the loaders libvips marks as untrusted (not fuzzed: vips, PPM, CSV, Analyze, FITS,
// ...) may read files: only with ZORBEL_ALLOW_UNTRUSTED_LOADERS=1 in the environment.
bool untrusted_loaders_allowed() {
  const char* allow = std::getenv("ZORBEL_ALLOW_UNTRUSTED_LOADERS");
  return allow != nullptr && std::strcmp(allow, "1") == 0;
}

// Starts libvips once. Loaders that are not meant for untrusted files stay blocked unless
// the user allows them.
bool start_vips(std::string* why) {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    started = VIPS_INIT("zorbel") == 0;
    if (!started) return;
    vips_block_untrusted_set(untrusted_loaders_allowed() ? FALSE : TRUE);
    // libvips' warnings (a profile it ignores, say) are not the user's concern: failures come
    // back as one line each.
    g_log_set_handler(
        "VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
        [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    // Every file is read afresh: a cached load would show an earlier file of the same name.
    vips_cache_set_max(0);
  });
  if (!started) *why = "the image library could not start";
  return started;
}

// The refusal of a file that only a blocked untrusted loader reads, or nothing.
std::optional<std::string> blocked_loader(const char* loader) {
  if (loader == nullptr || untrusted_loaders_allowed()) return std::nullopt;
  GType type = vips_type_find("VipsOperation", loader);
  if (type == 0) return std::nullopt;
  auto* operation = static_cast<VipsOperationClass*>(g_type_class_ref(type));
  bool untrusted = (operation->flags & VIPS_OPERATION_UNTRUSTED) != 0;
  std::string name = VIPS_OBJECT_CLASS(operation)->nickname;
  g_type_class_unref(operation);
  if (!untrusted) return std::nullopt;
  return "only libvips' " + name +
         " reads this file, and it is blocked because it is not made for files from anywhere "
         "(ZORBEL_ALLOW_UNTRUSTED_LOADERS=1 allows it)";
}

// libvips' last error as one line, and the error buffer emptied.
std::string vips_reason() {
  std::string text = vips_error_buffer();
  vips_error_clear();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  std::size_t newline = text.find('\n');
  if (newline != std::string::npos) text.resize(newline);
  // libvips names the operation first ("VipsJpeg: ..."): the file name says more to a user.
  std::size_t colon = text.find(": ");
  if (colon != std::string::npos && text.compare(0, 4, "Vips") == 0) text.erase(0, colon + 2);
  return text.empty() ? "unknown failure" : text;
}

std::string lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// "x.JPG" -> "jpg"; a word without a dot is taken as it is.
std::string extension_of(const std::string& path_or_format) {
  std::size_t slash = path_or_format.find_last_of('/');
  std::size_t dot = path_or_format.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return path_or_format.find('/') == std::string::npos ? lower(path_or_format) : "";
  return lower(path_or_format.substr(dot + 1));
}

bool saver_present(const Format& format) {
  return vips_type_find("VipsOperation", format.saver) != 0;
}

const Format* find_format(const std::string& path_or_format) {
  std::string wanted = extension_of(path_or_format);
  std::string why;
  if (wanted.empty() || !start_vips(&why)) return nullptr;
  for (const Format& format : kFormats) {
    bool named = wanted == format.word;
    for (const char* extension : format.extensions)
      named = named || (extension && wanted == extension);
    if (named) return saver_present(format) ? &format : nullptr;
  }
  return nullptr;
}

// The format word of a loader ("jpegload_buffer" -> "jpeg").
std::string format_of_loader(const std::string& loader) {
  std::size_t end = loader.find("load");
  return end == std::string::npos ? loader : loader.substr(0, end);
}

// Copies the pixels of an 8-bit image, strip by strip as libvips computes them, to where they
// lie in the upright picture.
struct RowSink {
  plugin_host::Image* upright;
  int32_t stored_width, stored_height;
  int orientation;
};

int copy_strip(VipsRegion* region, VipsRect* area, void* target) {
  const auto* sink = static_cast<const RowSink*>(target);
  place_upright(VIPS_REGION_ADDR(region, area->left, area->top),
                std::size_t(VIPS_REGION_LSKIP(region)), area->left, area->top, area->width,
                area->height, sink->stored_width, sink->stored_height, sink->orientation,
                sink->upright);
  return 0;
}

// The memory the system can give without swapping (MemAvailable), when it says.
std::optional<uint64_t> available_memory() {
  std::FILE* info = std::fopen("/proc/meminfo", "r");
  if (info == nullptr) return std::nullopt;
  std::optional<uint64_t> available;
  char line[256];
  unsigned long long kilobytes = 0;
  while (std::fgets(line, sizeof line, info) != nullptr)
    if (std::sscanf(line, "MemAvailable: %llu kB", &kilobytes) == 1) available = kilobytes * 1024;
  std::fclose(info);
  return available;
}

std::string megabytes(uint64_t bytes) { return std::to_string((bytes + 500000) / 1000000) + " MB"; }

// An image of this size, its pixels in huge pages where the system has them: a photograph's
// tens of megabytes then come in a few dozen page faults instead of tens of thousands.
plugin_host::Image whole_image(int32_t width, int32_t height, int32_t planes) {
  plugin_host::Image image;
  image.width = width;
  image.height = height;
  image.planes = planes;
  const std::size_t size = std::size_t(width) * std::size_t(height) * std::size_t(planes);
  image.pixels.reserve(size);  // not yet touched: the advice comes before the first fault
  constexpr std::uintptr_t kHugePage = 2 << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(image.pixels.data());
  const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (start + size) & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  image.pixels.resize(size);
  return image;
}

std::vector<uint8_t> blob(const vips::VImage& image, const char* field) {
  if (image.get_typeof(field) != VIPS_TYPE_BLOB) return {};
  std::size_t length = 0;
  const auto* data = static_cast<const uint8_t*>(image.get_blob(field, &length));
  return std::vector<uint8_t>(data, data + length);
}

constexpr char kExifHeader[] = "Exif\0\0";  // how libvips (and JPEG) frames the TIFF structure

// IPTC records as the format stores them. This libvips writes only the first quarter of a
// TIFF's block (it counts the words, and libtiff takes the count as bytes), so it is given four
// times the block, the rest zeros, which readers drop as they drop any padding after the last
// record.
std::vector<uint8_t> iptc_block(const std::vector<uint8_t>& records, const std::string& format) {
  if (format == "jpeg") return photoshop_iptc_block(records);
  std::vector<uint8_t> block = tiff_iptc_block(records);
  block.resize(block.size() * 4, 0);
  return block;
}

std::optional<LoadedImage> decode(const std::string& path, vips::VImage image,
                                  Orientation orientation, std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = path + ": " + why;
    return std::nullopt;
  };
  LoadedImage loaded;
  if (image.get_typeof("vips-loader") != 0)
    loaded.format = format_of_loader(image.get_string("vips-loader"));
  switch (image.format()) {
    case VIPS_FORMAT_UCHAR:
      break;
    case VIPS_FORMAT_USHORT:
    case VIPS_FORMAT_SHORT:
      return fail("16-bit samples are not supported (8 bits per sample only)");
    case VIPS_FORMAT_FLOAT:
    case VIPS_FORMAT_DOUBLE:
      return fail("floating-point samples are not supported (8 bits per sample only)");
    default:
      return fail("samples of more than 8 bits are not supported (8 bits per sample only)");
  }
  const VipsInterpretation interpretation = image.interpretation();
  const int bands = image.bands();
  if (interpretation == VIPS_INTERPRETATION_LAB || interpretation == VIPS_INTERPRETATION_LABS ||
      interpretation == VIPS_INTERPRETATION_LCH || interpretation == VIPS_INTERPRETATION_XYZ)
    return fail("Lab and other device-independent colours are not supported");
  if (interpretation == VIPS_INTERPRETATION_CMYK) {
    if (bands != 4) return fail("CMYK with alpha or extra channels is not supported");
    loaded.kind = Kind::kCmyk;
  } else if (bands == 1) {
    loaded.kind = Kind::kGray;
  } else if (bands == 2) {
    loaded.kind = Kind::kGrayAlpha;
  } else if (bands == 3) {
    loaded.kind = Kind::kRgb;
  } else if (bands == 4) {
    loaded.kind = Kind::kRgba;
  } else {
    return fail(std::to_string(bands) + " channels are not supported (gray, RGB or CMYK only)");
  }
  if (image.width() > 32767 || image.height() > 32767)
    return fail("larger than 32767 pixels a side");

  // The decoded picture is held whole: one that cannot fit in the memory this machine has free
  // is refused before it is allocated (a small file can declare a huge picture).
  const uint64_t needed = uint64_t(image.width()) * uint64_t(image.height()) * uint64_t(bands);
  const std::string size =
      std::to_string(image.width()) + " x " + std::to_string(image.height()) + " picture";
  const std::optional<uint64_t> available = available_memory();
  if (available && needed > *available)
    return fail("its " + size + " needs " + megabytes(needed) + " of memory, and only " +
                megabytes(*available) + " is free");
  // libvips gives the orientation the file's EXIF or TIFF tag holds (none for HEIF, which
  // libheif has turned already).
  int stored = 1;
  if (image.get_typeof(VIPS_META_ORIENTATION) != 0) stored = image.get_int(VIPS_META_ORIENTATION);
  if (orientation == Orientation::kUpright && stored >= 2 && stored <= 8)
    loaded.turned_from = stored;
  const bool swapped = swaps_sides(loaded.turned_from);
  try {
    loaded.image = whole_image(swapped ? image.height() : image.width(),
                               swapped ? image.width() : image.height(), bands);
  } catch (const std::bad_alloc&) {
    return fail("not enough memory for its " + size + " (" + megabytes(needed) + ")");
  }
  RowSink sink{&loaded.image, image.width(), image.height(), loaded.turned_from};
  if (vips_sink_disc(image.get_image(), copy_strip, &sink) != 0)
    return fail("cannot be read: " + vips_reason());

  Metadata& m = loaded.metadata;
  m.icc = blob(image, "icc-profile-data");
  m.exif = blob(image, "exif-data");
  if (m.exif.size() >= 6 && std::memcmp(m.exif.data(), kExifHeader, 6) == 0)
    m.exif.erase(m.exif.begin(), m.exif.begin() + 6);
  m.xmp = blob(image, "xmp-data");
  m.iptc = iptc_records(blob(image, "iptc-data"));
  m.x_dpi = image.xres() * 25.4;  // libvips keeps pixels per millimetre
  m.y_dpi = image.yres() * 25.4;
  return loaded;
}

// The frames after the first of a file libvips reads as pages, from all of them loaded as one
// tall image, one under the other. A thread runs libvips over that image once, top to bottom
// (so the loader reads the file once, front to back, as sequential loaders must), and hands
// each frame's rows straight into the buffer of the read waiting for it: no more than the
// frame being filtered is held.
class VipsFrameSource : public FrameSource {
 public:
  VipsFrameSource(vips::VImage pages, int page_height, int orientation, std::string shown,
                  std::shared_ptr<std::vector<uint8_t>> bytes)
      : pages_(std::move(pages)),
        page_height_(page_height),
        orientation_(orientation),
        shown_(std::move(shown)),
        bytes_(std::move(bytes)) {}

  ~VipsFrameSource() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
    if (producer_.joinable()) producer_.join();
  }

  bool read(int index, plugin_host::Image* image, std::string* error) override {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool swapped = swaps_sides(orientation_);
    if (image->width != (swapped ? page_height_ : pages_.width()) ||
        image->height != (swapped ? pages_.width() : page_height_) ||
        image->planes != pages_.bands() || index != next_ || ended_) {
      *error = shown_ + ": frame " + std::to_string(index + 1) + " cannot be read" +
               (ended_ ? ": " + failure_ : " here (frames are read once, in order)");
      return false;
    }
    ++next_;
    target_ = image;
    wanted_ = index;
    done_ = false;
    if (!producer_.joinable()) producer_ = std::thread([this] { produce(); });
    changed_.notify_all();
    changed_.wait(lock, [&] { return done_ || ended_; });
    target_ = nullptr;
    if (done_) return true;
    *error = shown_ + ": frame " + std::to_string(index + 1) +
             " cannot be read: " + (failure_.empty() ? std::string("the file ended") : failure_);
    return false;
  }

 private:
  void produce() {
    const int result = vips_sink_disc(pages_.get_image(), take_rows, this);
    std::lock_guard<std::mutex> lock(mutex_);
    if (result != 0 && !closed_) failure_ = vips_reason();
    ended_ = true;
    changed_.notify_all();
  }

  // libvips' strips, in order: each row of a frame after the first goes into the buffer of the
  // read that wants that frame, once there is one.
  static int take_rows(VipsRegion* region, VipsRect* area, void* self) {
    auto* source = static_cast<VipsFrameSource*>(self);
    const std::size_t row_bytes = std::size_t(area->width) * std::size_t(source->pages_.bands());
    for (int y = area->top; y < area->top + area->height; ++y) {
      const int frame = y / source->page_height_, row = y % source->page_height_;
      if (frame == 0) continue;  // the first frame was decoded with the header
      std::unique_lock<std::mutex> lock(source->mutex_);
      source->changed_.wait(lock, [&] {
        return source->closed_ || (source->target_ != nullptr && source->wanted_ == frame);
      });
      if (source->closed_) {
        vips_error("zorbel", "%s", "stopped");
        return -1;
      }
      place_upright(VIPS_REGION_ADDR(region, area->left, y), row_bytes, area->left, row,
                    area->width, 1, source->pages_.width(), source->page_height_,
                    source->orientation_, source->target_);
      if (row == source->page_height_ - 1) {
        source->done_ = true;
        source->target_ = nullptr;
        source->changed_.notify_all();
      }
    }
    return 0;
  }

  vips::VImage pages_;
  const int page_height_;
  const int orientation_;  // every frame is turned as the first was
  const std::string shown_;
  std::shared_ptr<std::vector<uint8_t>> bytes_;  // what a loader from memory reads
  std::mutex mutex_;
  std::condition_variable changed_;
  plugin_host::Image* target_ = nullptr;  // the buffer of the waiting read
  int wanted_ = -1;                       // the frame it waits for
  int next_ = 1;                          // the frame the next read must ask for
  bool done_ = false, ended_ = false, closed_ = false;
  std::string failure_;
  std::thread producer_;
};

int page_count(const vips::VImage& image) {
  return image.get_typeof("n-pages") == G_TYPE_INT ? std::max(1, image.get_int("n-pages")) : 1;
}

// Decodes a file of several frames or pages (`first` is its first as libvips loads it by
// itself): when all of them load as one tall image of equal pages, the first page is decoded
// and the rest are left to a FrameSource; otherwise only `first` is read, its frames marked
// as of different sizes.
template <typename LoadAll>
std::optional<LoadedImage> decode_pages(const std::string& shown, const vips::VImage& first,
                                        int pages, LoadAll load_all,
                                        std::shared_ptr<std::vector<uint8_t>> bytes,
                                        Orientation orientation, std::string* error) {
  std::optional<vips::VImage> all;
  try {
    vips::VImage tall = load_all();
    if (tall.width() == first.width() &&
        vips_image_get_page_height(tall.get_image()) == first.height() &&
        tall.height() == int64_t(first.height()) * pages)
      all = tall;
  } catch (const vips::VError&) {
    vips_error_clear();
  }
  Frames frames;
  frames.count = pages;
  if (!all) {
    frames.same_size = false;
    std::optional<LoadedImage> loaded = decode(shown, first, orientation, error);
    if (loaded) loaded->frames = frames;
    return loaded;
  }
  std::optional<LoadedImage> loaded =
      decode(shown, all->crop(0, 0, all->width(), first.height()), orientation, error);
  if (!loaded) return loaded;
  if (all->get_typeof("delay") == VIPS_TYPE_ARRAY_INT) {
    frames.delays = all->get_array_int("delay");
    if (int(frames.delays.size()) != pages) frames.delays.clear();
  }
  if (all->get_typeof("loop") == G_TYPE_INT) frames.loop = all->get_int("loop");
  // The rest come from a load of their own: the one above has read past the first frame.
  try {
    frames.source = std::make_shared<VipsFrameSource>(load_all(), first.height(),
                                                      loaded->turned_from, shown, std::move(bytes));
  } catch (const vips::VError&) {
    *error = shown + ": cannot be read: " + vips_reason();
    return std::nullopt;
  }
  loaded->frames = std::move(frames);
  return loaded;
}

VipsInterpretation interpretation_of(Kind kind) {
  if (kind == Kind::kCmyk) return VIPS_INTERPRETATION_CMYK;
  if (kind == Kind::kGray || kind == Kind::kGrayAlpha) return VIPS_INTERPRETATION_B_W;
  return VIPS_INTERPRETATION_sRGB;
}

// Puts the profile, EXIF, XMP and IPTC on an image's header, for a file of this format.
void attach_metadata(VipsImage* header, const Metadata& m, const std::string& format) {
  if (!m.icc.empty())
    vips_image_set_blob_copy(header, "icc-profile-data", m.icc.data(), m.icc.size());
  if (!m.exif.empty()) {
    std::vector<uint8_t> framed(kExifHeader, kExifHeader + 6);
    framed.insert(framed.end(), m.exif.begin(), m.exif.end());
    vips_image_set_blob_copy(header, "exif-data", framed.data(), framed.size());
  }
  if (!m.xmp.empty()) vips_image_set_blob_copy(header, "xmp-data", m.xmp.data(), m.xmp.size());
  if (!m.iptc.empty()) {
    const std::vector<uint8_t> block = iptc_block(m.iptc, format);
    vips_image_set_blob_copy(header, "iptc-data", block.data(), block.size());
  }
}

// The image as libvips sees it, over the pixels without copying them, with its metadata.
vips::VImage to_vips(const LoadedImage& loaded, bool strip, const std::string& format) {
  const plugin_host::Image& pixels = loaded.image;
  vips::VImage image = vips::VImage::new_from_memory(
      const_cast<uint8_t*>(pixels.pixels.data()), pixels.pixels.size(), pixels.width, pixels.height,
      pixels.planes, VIPS_FORMAT_UCHAR);
  const Metadata& m = loaded.metadata;
  auto options = vips::VImage::option()->set("interpretation", interpretation_of(loaded.kind));
  if (!strip && m.x_dpi > 0 && m.y_dpi > 0)
    options = options->set("xres", m.x_dpi / 25.4)->set("yres", m.y_dpi / 25.4);
  image = image.copy(options);  // a header of its own, so its fields can be set
  if (!strip) attach_metadata(image.get_image(), m, format);
  return image;
}

vips::VOption* save_options(const Format& format, const WriteOptions& options) {
  vips::VOption* o = vips::VImage::option()->set("strip", options.strip);
  if (format.lossy && options.quality > 0) o = o->set("Q", options.quality);
  if (std::strcmp(format.word, "jpeg") == 0 && options.quality == 0) o = o->set("Q", 90);
  if (std::strcmp(format.word, "webp") == 0 || std::strcmp(format.word, "avif") == 0 ||
      std::strcmp(format.word, "heif") == 0)
    o = o->set("lossless", options.lossless);
  if (std::strcmp(format.word, "avif") == 0)
    o = o->set("compression", VIPS_FOREIGN_HEIF_COMPRESSION_AV1);
  // TIFF stays uncompressed, as photographs' TIFFs usually are, and fast to write.
  if (std::strcmp(format.word, "tiff") == 0) o = o->set("resunit", VIPS_FOREIGN_TIFF_RESUNIT_INCH);
  return o;
}

// This libvips reads no EXIF from a TIFF: the fields that travel are taken from the file's own
// IFDs (its first IFD is EXIF's first IFD).
void take_tiff_exif(const uint8_t* data, std::size_t size, LoadedImage* loaded) {
  if (loaded->format == "tiff" && loaded->metadata.exif.empty())
    loaded->metadata.exif = exif_block(exif_fields(data, size));
}

void take_tiff_exif(const std::string& path, LoadedImage* loaded) {
  if (loaded->format != "tiff" || !loaded->metadata.exif.empty()) return;
  int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (file < 0) return;
  if (fstat(file, &info) == 0 && info.st_size > 0) {
    void* mapped = mmap(nullptr, std::size_t(info.st_size), PROT_READ, MAP_PRIVATE, file, 0);
    if (mapped != MAP_FAILED) {
      take_tiff_exif(static_cast<const uint8_t*>(mapped), std::size_t(info.st_size), loaded);
      munmap(mapped, std::size_t(info.st_size));
    }
  }
  close(file);
}

// This libvips writes no EXIF into a TIFF: it is added to the file it wrote.
bool put_tiff_exif(const std::string& file, const Format& format, const Metadata& metadata,
                   bool strip, std::string* why) {
  if (strip || std::strcmp(format.word, "tiff") != 0 || metadata.exif.empty()) return true;
  return add_exif_to_tiff(file, exif_fields(metadata.exif), why);
}

// Rows on their way from the thread that makes them to libvips' threads that encode them. It
// holds a few megabytes of rows, or as many as a saver asks for at once; a row is dropped once
// a saver has taken it.
class RowQueue {
 public:
  RowQueue(std::size_t row_bytes, int bands)
      : row_bytes_(row_bytes),
        bands_(bands),
        capacity_(std::max<std::size_t>(16, kHeldBytes / std::max<std::size_t>(row_bytes, 1))) {}

  // Waits while the queue is full; false once it is closed.
  bool put(const uint8_t* row) {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return closed_ || rows_.size() < capacity_; });
    if (closed_) return false;
    std::vector<uint8_t> copy;
    if (!spare_.empty()) {
      copy = std::move(spare_.back());
      spare_.pop_back();
    }
    copy.assign(row, row + row_bytes_);
    rows_.push_back(std::move(copy));
    taken_.push_back(false);
    // Savers wait for whole strips: they are woken once the first of them can go on.
    if (++made_ >= needed_) {
      needed_ = INT_MAX;
      ready_.notify_all();
    }
    return true;
  }

  // Fills a region of the image with its rows, waiting for them; -1 when the queue is closed
  // first, or the region holds rows already taken (a saver that reads a row twice).
  int fill(VipsRegion* region) {
    const VipsRect& area = region->valid;
    const int bottom = area.top + area.height;
    std::unique_lock<std::mutex> lock(mutex_);
    if (area.top < first_) {
      vips_error("zorbel", "%s", "the encoder asked for a row twice");
      return -1;
    }
    if (std::size_t(bottom - first_) > capacity_) {
      capacity_ = std::size_t(bottom - first_);
      room_.notify_all();
    }
    while (!closed_ && made_ < bottom) {
      needed_ = std::min(needed_, bottom);
      ready_.wait(lock);
    }
    if (made_ < bottom) {
      vips_error("zorbel", "%s", "the image was not finished");
      return -1;
    }
    for (int y = area.top; y < bottom; ++y) {
      std::memcpy(VIPS_REGION_ADDR(region, area.left, y),
                  rows_[std::size_t(y - first_)].data() + std::size_t(area.left) * bands_,
                  std::size_t(area.width) * bands_);
      taken_[std::size_t(y - first_)] = true;
    }
    while (!taken_.empty() && taken_.front()) {
      spare_.push_back(std::move(rows_.front()));
      rows_.pop_front();
      taken_.pop_front();
      ++first_;
    }
    room_.notify_all();
    return 0;
  }

  // Ends the queue: put and fill return at once from now on.
  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    room_.notify_all();
    ready_.notify_all();
  }

 private:
  // Enough for the filter and the encoder to work side by side (a saver that asks for more at
  // once raises the capacity); more only adds to the peak (a 6000 x 4000 photograph's run
  // held 12 MB here before, for no gain in time).
  static constexpr std::size_t kHeldBytes = 2 << 20;
  const std::size_t row_bytes_;
  const int bands_;
  std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable room_, ready_;
  std::deque<std::vector<uint8_t>> rows_;  // rows first_ .. made_ - 1
  std::deque<bool> taken_;
  std::vector<std::vector<uint8_t>> spare_;
  int first_ = 0, made_ = 0;
  int needed_ = INT_MAX;  // the last row of the strip the first waiting saver wants, plus one
  bool closed_ = false;
};

int generate_rows(VipsRegion* region, void*, void* queue, void*, gboolean*) {
  return static_cast<RowQueue*>(queue)->fill(region);
}

// Encodes an image whose pixels come from a RowQueue, on a thread of its own that runs the
// saver, into a temporary file renamed into place at the end (or into standard output).
class VipsRowWriter : public RowWriter {
 public:
  VipsRowWriter(const std::string& path, const LoadedImage& header, const Format& format,
                const WriteOptions& options)
      : path_(path),
        shown_(path == "-" ? "standard output" : path),
        height_(header.image.height * std::max(1, header.frames.count)),
        queue_(std::size_t(header.image.width) * std::size_t(header.image.planes),
               header.image.planes) {
    const Metadata& m = header.metadata;
    const bool resolution = !options.strip && m.x_dpi > 0 && m.y_dpi > 0;
    if (!options.strip && std::strcmp(format.word, "tiff") == 0) tiff_exif_ = exif_fields(m.exif);
    VipsImage* out = vips_image_new();
    vips_image_init_fields(out, header.image.width, height_, header.image.planes, VIPS_FORMAT_UCHAR,
                           VIPS_CODING_NONE, interpretation_of(header.kind),
                           resolution ? m.x_dpi / 25.4 : 1.0, resolution ? m.y_dpi / 25.4 : 1.0);
    const Frames& frames = header.frames;
    if (frames.count > 1) {
      vips_image_set_int(out, "page-height", header.image.height);
      if (int(frames.delays.size()) == frames.count)
        vips_image_set_array_int(out, "delay", frames.delays.data(), frames.count);
      if (frames.loop >= 0) vips_image_set_int(out, "loop", frames.loop);
    }
    vips_image_pipelinev(out, VIPS_DEMAND_STYLE_THINSTRIP, nullptr);
    vips_image_generate(out, nullptr, generate_rows, nullptr, &queue_, nullptr);
    if (!options.strip) attach_metadata(out, m, format.word);
    vips::VImage image(out);
    vips::VOption* saving = save_options(format, options);
    if (path == "-") {
      std::string suffix = std::string(".") + format.extensions[0];
      encoder_ = std::thread([this, image, saving, suffix] {
        try {
          image.write_to_target(suffix.c_str(), vips::VTarget::new_to_descriptor(1), saving);
        } catch (const vips::VError&) {
          fail(shown_ + ": cannot be written: " + vips_reason());
        }
      });
      return;
    }
    temporary_ = temporary_beside(path);
    begin_partial_output(temporary_);
    encoder_ = std::thread([this, image, saving, saver = format.saver] {
      try {
        vips::VImage::call(saver, saving->set("in", image)->set("filename", temporary_.c_str()));
      } catch (const vips::VError&) {
        fail(shown_ + ": cannot be written: " + vips_reason());
      }
    });
  }

  ~VipsRowWriter() override {
    queue_.close();
    if (encoder_.joinable()) encoder_.join();
    if (!temporary_.empty()) {
      std::remove(temporary_.c_str());
      end_partial_output(temporary_);
    }
  }

  bool put(const uint8_t* row) override {
    if (rows_put_ >= height_ || !queue_.put(row)) return false;
    ++rows_put_;
    return true;
  }

  bool finish(std::string* error) override {
    if (rows_put_ < height_) fail(shown_ + ": the image was not finished");
    queue_.close();
    if (encoder_.joinable()) encoder_.join();
    std::string why = failure(), reason;
    if (why.empty() && !temporary_.empty() && !add_exif_to_tiff(temporary_, tiff_exif_, &reason))
      why = path_ + ": cannot be written (" + reason + ")";
    if (why.empty() && !temporary_.empty() &&
        !plugin_host::replace_durably(temporary_, path_, &reason))
      why = path_ + ": cannot be written (" + reason + ")";
    if (why.empty() && temporary_.empty() && std::fflush(stdout) != 0)
      why = "standard output: cannot be written (" + std::string(std::strerror(errno)) + ")";
    if (!temporary_.empty()) {
      if (!why.empty()) std::remove(temporary_.c_str());
      end_partial_output(temporary_);
      temporary_.clear();
    }
    if (!why.empty()) *error = why;
    return why.empty();
  }

  std::string failure() const override {
    std::lock_guard<std::mutex> lock(failure_mutex_);
    return failure_;
  }

 private:
  void fail(const std::string& why) {
    {
      std::lock_guard<std::mutex> lock(failure_mutex_);
      if (failure_.empty()) failure_ = why;
    }
    queue_.close();  // the filter stops waiting for room
  }

  const std::string path_, shown_;
  const int height_;
  int rows_put_ = 0;
  RowQueue queue_;
  std::vector<ExifField> tiff_exif_;  // added to a TIFF once libvips has written it
  std::string temporary_;             // empty for standard output, and once finished
  mutable std::mutex failure_mutex_;
  std::string failure_;
  std::thread encoder_;
};

// A JPEG file's header segments up to its pixels, as a JPEG of its own for jpeg_quality; the
// segments are skipped over, not read, but for the quantisation tables.
std::vector<uint8_t> jpeg_tables(const std::string& path) {
  std::vector<uint8_t> header = {0xFF, 0xD8};
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  uint8_t marker[4];
  if (std::fread(marker, 1, 2, file) == 2 && marker[0] == 0xFF && marker[1] == 0xD8) {
    while (std::fread(marker, 1, 4, file) == 4 && marker[0] == 0xFF && marker[1] != 0xDA &&
           marker[1] != 0xD9) {
      const long length = marker[2] << 8 | marker[3];
      if (length < 2) break;
      if (marker[1] != 0xDB) {
        if (std::fseek(file, length - 2, SEEK_CUR) != 0) break;
        continue;
      }
      const std::size_t at = header.size();
      header.insert(header.end(), marker, marker + 4);
      header.resize(at + 2 + std::size_t(length));
      if (std::fread(header.data() + at + 4, 1, std::size_t(length) - 2, file) !=
          std::size_t(length) - 2)
        break;
    }
  }
  std::fclose(file);
  return header;
}

// What is known once the pixels are read: the metadata of an upright picture, and a JPEG's
// quality.
void finish_reading(LoadedImage* loaded, const uint8_t* bytes, std::size_t size,
                    const std::string& path) {
  if (!bytes)
    take_tiff_exif(path, loaded);
  else
    take_tiff_exif(bytes, size, loaded);
  mark_upright(&loaded->metadata, loaded->turned_from);
  if (loaded->format != "jpeg") return;
  if (bytes) {
    loaded->jpeg_quality = jpeg_quality(bytes, size);
  } else {
    const std::vector<uint8_t> tables = jpeg_tables(path);
    loaded->jpeg_quality = jpeg_quality(tables.data(), tables.size());
  }
}

}  // namespace

std::optional<LoadedImage> read_image(const std::string& path, std::string* error,
                                      Orientation orientation) {
  if (!start_vips(error)) return std::nullopt;
  auto options = [] {
    return vips::VImage::option()
        ->set("access", VIPS_ACCESS_SEQUENTIAL)
        ->set("fail_on", VIPS_FAIL_ON_TRUNCATED);
  };
  try {
    if (path == "-") {
      std::vector<uint8_t> bytes;
      uint8_t buffer[1 << 16];
      for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + n);
      if (bytes.empty()) {
        *error = "standard input: no image came";
        return std::nullopt;
      }
      if (auto refusal =
              blocked_loader(vips_foreign_find_load_buffer(bytes.data(), bytes.size()))) {
        *error = "standard input: " + *refusal;
        return std::nullopt;
      }
      vips_error_clear();
      auto held = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
      vips::VImage first = vips::VImage::new_from_buffer(held->data(), held->size(), "", options());
      const int pages = page_count(first);
      std::optional<LoadedImage> loaded =
          pages == 1 ? decode("standard input", first, orientation, error)
                     : decode_pages(
                           "standard input", first, pages,
                           [&] {
                             return vips::VImage::new_from_buffer(held->data(), held->size(), "",
                                                                  options()->set("n", -1));
                           },
                           held, orientation, error);
      if (loaded) finish_reading(&*loaded, held->data(), held->size(), path);
      return loaded;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
      *error = path + ": cannot be opened (" + std::strerror(errno) + ")";
      return std::nullopt;
    }
    if (S_ISDIR(info.st_mode)) {
      *error = path + ": is a folder, not an image";
      return std::nullopt;
    }
    const char* loader = vips_foreign_find_load(path.c_str());
    if (loader == nullptr) {
      vips_error_clear();
      *error = path + ": not an image this build reads (" + writable_formats() + ", GIF, ...)";
      return std::nullopt;
    }
    if (auto refusal = blocked_loader(loader)) {
      *error = path + ": " + *refusal;
      return std::nullopt;
    }
    vips::VImage first = vips::VImage::new_from_file(path.c_str(), options());
    const int pages = page_count(first);
    std::optional<LoadedImage> loaded =
        pages == 1
            ? decode(path, first, orientation, error)
            : decode_pages(
                  path, first, pages,
                  [&] {
                    return vips::VImage::new_from_file(path.c_str(), options()->set("n", -1));
                  },
                  nullptr, orientation, error);
    if (loaded) finish_reading(&*loaded, nullptr, 0, path);
    return loaded;
  } catch (const vips::VError&) {
    *error =
        (path == "-" ? std::string("standard input") : path) + ": cannot be read: " + vips_reason();
    return std::nullopt;
  }
}

bool write_image(const std::string& path, const LoadedImage& loaded, const WriteOptions& options,
                 std::string* error) {
  const std::string shown = path == "-" ? "standard output" : path;
  const std::string& named = options.format.empty() ? path : options.format;
  if (auto refusal = write_refusal(named, loaded.kind)) {
    *error = shown + ": " + *refusal;
    return false;
  }
  const Format& format = *find_format(named);
  try {
    vips::VImage image = to_vips(loaded, options.strip, format.word);
    if (path == "-") {
      std::string suffix = std::string(".") + format.extensions[0];
      void* bytes = nullptr;
      std::size_t length = 0;
      image.write_to_buffer(suffix.c_str(), &bytes, &length, save_options(format, options));
      bool written = std::fwrite(bytes, 1, length, stdout) == length && std::fflush(stdout) == 0;
      g_free(bytes);
      if (!written)
        *error = "standard output: cannot be written (" + std::string(std::strerror(errno)) + ")";
      return written;
    }
    const std::string temporary = temporary_beside(path);
    begin_partial_output(temporary);
    bool written = false;
    try {
      vips::VImage::call(
          format.saver,
          save_options(format, options)->set("in", image)->set("filename", temporary.c_str()));
      written = true;
    } catch (const vips::VError&) {
      *error = path + ": cannot be written: " + vips_reason();
    }
    std::string reason;
    if (written && !put_tiff_exif(temporary, format, loaded.metadata, options.strip, &reason)) {
      *error = path + ": cannot be written (" + reason + ")";
      written = false;
    }
    if (written && !plugin_host::replace_durably(temporary, path, &reason)) {
      *error = path + ": cannot be written (" + reason + ")";
      written = false;
    }
    if (!written) std::remove(temporary.c_str());
    end_partial_output(temporary);
    return written;
  } catch (const vips::VError&) {
    *error = shown + ": cannot be written: " + vips_reason();
    return false;
  }
}

bool write_image(const std::string& path, const LoadedImage& loaded, std::string* error) {
  return write_image(path, loaded, WriteOptions{}, error);
}

std::unique_ptr<RowWriter> open_row_writer(const std::string& path, const LoadedImage& header,
                                           const WriteOptions& options, std::string* error) {
  const std::string shown = path == "-" ? "standard output" : path;
  const std::string& named = options.format.empty() ? path : options.format;
  if (auto refusal = write_refusal(named, header.kind)) {
    *error = shown + ": " + *refusal;
    return nullptr;
  }
  const Format& format = *find_format(named);
  if (header.frames.count > 1 && !format.frames) {
    *error = shown + ": " + format.word + " keeps one frame, not " +
             std::to_string(header.frames.count) + " (write " + frame_formats() + ")";
    return nullptr;
  }
  if (header.frames.count > max_frames(header.image.height)) {
    *error = shown + ": " + std::to_string(header.frames.count) + " frames of " +
             std::to_string(header.image.height) + " rows are more than one file takes here";
    return nullptr;
  }
  if (path != "-") {
    // Whether the temporary file can be made beside the target, before any work is done.
    const std::string probe = temporary_beside(path);
    begin_partial_output(probe);
    std::FILE* file = std::fopen(probe.c_str(), "wb");
    const int failure = errno;
    if (file != nullptr) std::fclose(file);
    std::remove(probe.c_str());
    end_partial_output(probe);
    if (file == nullptr) {
      *error = path + ": cannot be written (" + std::strerror(failure) + ")";
      return nullptr;
    }
  }
  return std::make_unique<VipsRowWriter>(path, header, format, options);
}

std::optional<std::string> output_format(const std::string& path_or_format) {
  const Format* format = find_format(path_or_format);
  if (format == nullptr) return std::nullopt;
  return std::string(format->word);
}

std::string writable_formats() {
  std::string list;
  std::string why;
  if (!start_vips(&why)) return list;
  for (const Format& format : kFormats) {
    if (!saver_present(format)) continue;
    if (!list.empty()) list += ", ";
    list += format.extensions[0];
  }
  return list;
}

bool writable_extension(const std::string& path) { return find_format(path) != nullptr; }

bool holds_frames(const std::string& path_or_format) {
  const Format* format = find_format(path_or_format);
  return format != nullptr && format->frames;
}

std::string frame_formats() {
  std::string list;
  std::string why;
  if (!start_vips(&why)) return list;
  std::vector<std::string> names;
  for (const Format& format : kFormats)
    if (format.frames && saver_present(format)) names.emplace_back(format.extensions[0]);
  for (std::size_t i = 0; i < names.size(); ++i)
    list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  return list;
}

std::optional<std::string> write_refusal(const std::string& path_or_format, Kind kind) {
  const Format* format = find_format(path_or_format);
  if (format == nullptr) {
    std::string wanted = extension_of(path_or_format);
    return (wanted.empty() ? std::string("no image format given")
                           : "this build does not write " + wanted + " images") +
           " (it writes " + writable_formats() + ")";
  }
  if (kind == Kind::kCmyk && !format->cmyk)
    return std::string("a CMYK image cannot be written as ") + format->word + " (write jpg or tif)";
  if ((kind == Kind::kGrayAlpha || kind == Kind::kRgba) && !format->alpha)
    return std::string("an image with alpha cannot be written as ") + format->word +
           " without losing it (write png, tif or webp)";
  return std::nullopt;
}

}  // namespace image_io

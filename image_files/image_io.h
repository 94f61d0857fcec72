// Image files for the zorbel command: 8 bits per sample, gray, gray with alpha, RGB, RGBA and
// CMYK, with their colour profile and metadata. libvips on Linux, Windows' own codecs (WIC) on
// Windows, behind this one interface. Everything else is refused with a one-line reason.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "plugin_host/plugin_host.h"

namespace image_io {

enum class Kind { kGray, kGrayAlpha, kRgb, kRgba, kCmyk };

// What travels with the pixels from an input to its output; each part empty when absent.
struct Metadata {
  std::vector<uint8_t> icc;   // the ICC profile, byte for byte
  std::vector<uint8_t> exif;  // the EXIF block: a TIFF structure ("II*\0" or "MM\0*" first)
  std::vector<uint8_t> xmp;   // the XMP packet
  std::vector<uint8_t> iptc;  // IPTC-NAA records
  double x_dpi = 0;           // resolution in pixels per inch; 0 when the file gives none
  double y_dpi = 0;
};

// The frames after the first of an animation or a multi-page file, read one at a time.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Frame `index` (1 to the count less one, each once and in order) into `image`, which has the
  // first frame's size and planes. False, with one line naming the file, when it cannot be read.
  virtual bool read(int index, plugin_host::Image* image, std::string* error) = 0;
};

// The frames of an animation (GIF, WebP) or the pages of a multi-page file (TIFF, HEIF); one
// for every other image. An image read with several frames holds the first; `source` gives the
// others. A header given to open_row_writer with several frames asks for a file holding them
// all, in order, with these delays and this loop count where the format keeps them.
struct Frames {
  int count = 1;            // frames or pages in the file
  bool same_size = true;    // all of the first one's size and kind (else only the first is read)
  std::vector<int> delays;  // milliseconds each frame shows; empty when the file gives none
  int loop = -1;            // times an animation plays, 0 for ever; -1 when the file says none
  std::shared_ptr<FrameSource> source;  // when count > 1 and same_size
};

struct LoadedImage {
  plugin_host::Image image;  // planes: 1, 2, 3, 4 or 4 by kind; alpha last
  Kind kind = Kind::kRgb;
  Metadata metadata;
  std::string format;    // what it was read from: "png", "jpeg", "tiff", "webp", "heif", ...
  int jpeg_quality = 0;  // a JPEG's quality, estimated from its quantisation tables; else 0
  int turned_from = 1;   // the EXIF orientation the picture was turned upright from; 1: as stored
  Frames frames;         // every frame is turned as the first is
};

// Which way up a picture is read: turned upright as its EXIF orientation tag says (the tag then
// says 1, the EXIF pixel dimensions follow), or as the file stores it, the tag kept.
enum class Orientation { kUpright, kAsStored };

struct WriteOptions {
  // The format to write ("png", "jpeg", "tiff", "webp", "heif", "avif"; extensions such as
  // "jpg" or "tif" are taken too). Empty: the output name's extension decides. Needed for "-".
  std::string format;
  int quality = 0;        // 1..100 for lossy formats; 0: the format's default
  bool lossless = false;  // WebP (and AVIF where the encoder can): lossless
  bool strip = false;     // write no profile, metadata or resolution
};

// Colour planes the filter sees (alpha excluded) and the host image mode of a kind.
int32_t color_planes(Kind kind);
int16_t image_mode(Kind kind);
const char* kind_name(Kind kind);

// Reads an image file ("-": standard input), whatever its format, as far as this build reads
// it. On failure returns nothing and sets *error to one line that names the file and the
// reason ("photo.png: 16-bit samples are not supported").
std::optional<LoadedImage> read_image(const std::string& path, std::string* error,
                                      Orientation orientation = Orientation::kUpright);

// Writes an image file ("-": standard output) in the format the options or the name's
// extension give, with the image's metadata unless stripped. The bytes go to a temporary file
// beside the target, which is renamed over it only when complete: a failed or interrupted
// write leaves no file and never clobbers an existing one.
bool write_image(const std::string& path, const LoadedImage& image, const WriteOptions& options,
                 std::string* error);
bool write_image(const std::string& path, const LoadedImage& image, std::string* error);

// An image file written while its rows are being made: rows go in top to bottom and are
// encoded as they come, on threads of their own (Windows keeps the rows and encodes them at the
// end). As with write_image, the bytes go to a temporary file that is renamed over the target
// only when complete: a writer dropped before finish, or one that failed, leaves nothing.
class RowWriter {
 public:
  virtual ~RowWriter() = default;
  // The next row (width * planes bytes); waits while the encoder is behind. False once the
  // writing has failed (see failure()).
  virtual bool put(const uint8_t* row) = 0;
  // After the last row: waits for the encoder and puts the file in its place.
  virtual bool finish(std::string* error) = 0;
  // Why the writing failed, one line naming the file; empty while it has not.
  virtual std::string failure() const = 0;
};

// Starts writing `path` ("-": standard output) for an image of the size, kind and metadata of
// `header` (its pixels are not read); with several header.frames, for all of them, their rows
// put one frame after the other. Nothing, with one line in *error, when the format cannot
// hold the image or the file cannot be made.
std::unique_ptr<RowWriter> open_row_writer(const std::string& path, const LoadedImage& header,
                                           const WriteOptions& options, std::string* error);

// The format a name or format word asks for, in the words of WriteOptions::format ("jpeg" for
// "x.JPG" or "jpg"), or nothing when this build cannot write it.
std::optional<std::string> output_format(const std::string& path_or_format);
// The formats this build writes, as their usual extensions, for messages ("png, jpg, ...").
std::string writable_formats();

// Whether a format (named as for output_format) keeps several frames or pages in one file, and
// the formats of this build that do, for messages ("tif, webp or gif").
bool holds_frames(const std::string& path_or_format);
std::string frame_formats();

// True for a path whose extension write_image understands.
bool writable_extension(const std::string& path);

// Why an image of this kind cannot be written in this format (given as for output_format), or
// nothing when it can; lets a caller refuse before any work is done.
std::optional<std::string> write_refusal(const std::string& path_or_format, Kind kind);

// --- temporary outputs and interruptions ---
// A new name for a temporary file beside `path`, unique within this run of the program.
std::string temporary_beside(const std::string& path);
// The temporary files being written are listed so that an interruption (SIGINT, SIGTERM,
// Ctrl+C) removes them before the program ends. Safe from several threads.
void begin_partial_output(const std::string& temporary);
void end_partial_output(const std::string& temporary);
// Installs the handlers: on an interruption every listed file is removed and the program
// exits with 128 + the signal (130 for SIGINT, 143 for SIGTERM; Windows: 130 for Ctrl+C and
// Ctrl+Break, 143 when the console closes).
void remove_partial_outputs_on_interrupt();

// While the filter runs, Ctrl+C (SIGINT; Ctrl+C on a Windows console) does not end the program:
// it only asks the run to stop, which the host passes on to the module through abortProc, and
// the command then ends as cancelled. A second Ctrl+C, or one at any other time, ends the
// program as above. One run at a time.
void begin_stoppable_run();
// Whether Ctrl+C came since begin_stoppable_run: abortProc's answer.
bool stop_requested();
// Ends the stretch begun by begin_stoppable_run; true when Ctrl+C came during it.
bool end_stoppable_run();

}  // namespace image_io

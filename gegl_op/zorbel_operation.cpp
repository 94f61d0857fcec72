// halcyrion:zorbel, the GEGL operation: its properties and keys, the formats it filters in,
// the whole input it needs for any output, and the rows it renders over GEGL's worker threads.
// Everything past GEGL's buffers is gegl_op.h's.

// Texts go through gettext under the project's own domain (no catalogue is installed yet).
#define GETTEXT_PACKAGE "zorbel"
#include <glib/gi18n-lib.h>

#include <sys/mman.h>

#include <algorithm>
#include <string>
#include <type_traits>

#include "gegl_op/gegl_op.h"

#ifdef GEGL_PROPERTIES

// GEGL's property list, in its own notation.
// clang-format off
enum_start(zorbel_mode)
  enum_value(ZORBEL_MODE_PARALLEL, "parallel", N_("Parallel lines"))
  enum_value(ZORBEL_MODE_RIGHT_ANGLE, "right-angle", N_("Right-angle regions"))
  enum_value(ZORBEL_MODE_MIXED, "mixed", N_("Mixed parallel"))
enum_end(ZorbelMode)

property_int(angle, _("Angle"), 50)
  description(_("Direction in which the echoes go out from the centre line, in degrees "
                "(0 points right, 90 down)"))
  value_range(0, 360)
  ui_meta("unit", "degree")

property_int(regions, _("Regions"), 8)
  description(_("How many bands of echoes follow the strip beside the centre line"))
  value_range(1, 20)

property_int(spacing, _("Spacing"), 50)
  description(_("Width of each band, relative to the larger side of the picture"))
  value_range(5, 100)

property_int(intensity, _("Intensity"), 100)
  description(_("How strongly each echo covers the picture, in percent"))
  value_range(0, 100)

property_enum(mode, _("Mode"), ZorbelMode, zorbel_mode, ZORBEL_MODE_PARALLEL)
  description(_("Parallel bands; bands cut to a strip one band wide (right-angle); "
                "or each band the average of the echoes up to it (mixed)"))

property_boolean(fade, _("Fade"), FALSE)
  description(_("Each band's echo is weaker than the one before"))

property_double(center_x, _("Center X"), 0.5)
  description(_("Centre of the effect across the picture, as a fraction of its width"))
  value_range(0.0, 1.0)
  ui_meta("unit", "relative-coordinate")
  ui_meta("axis", "x")

property_double(center_y, _("Center Y"), 0.5)
  description(_("Centre of the effect down the picture, as a fraction of its height"))
  value_range(0.0, 1.0)
  ui_meta("unit", "relative-coordinate")
  ui_meta("axis", "y")
// clang-format on

#else

#define GEGL_OP_FILTER
#define GEGL_OP_NAME zorbel
#define GEGL_OP_C_SOURCE zorbel_operation.cpp

#include <gegl-op.h>

namespace {

// The format the operation filters in for a source format: 8-bit gamma-encoded gray and RGB
// as they come (the command's bytes), everything else at float (double for double) in the
// source's own family, tone curve, alpha and space.
const Babl* working_format(const Babl* source) {
  if (source == nullptr) return babl_format("R'G'B'A float");
  const BablModelFlag flags = babl_get_model_flags(babl_format_get_model(source));
  const bool alpha = babl_format_has_alpha(source) != 0;
  const Babl* type = babl_format_get_type(source, 0);
  std::string name;
  if (flags & BABL_MODEL_FLAG_CMYK) {
    name = alpha ? "CMYKA" : "CMYK";
  } else {
    const bool gray = (flags & BABL_MODEL_FLAG_GRAY) != 0;
    const char* curve = (flags & BABL_MODEL_FLAG_LINEAR)       ? ""
                        : (flags & BABL_MODEL_FLAG_PERCEPTUAL) ? "~"
                                                               : "'";
    name = gray ? std::string("Y") + curve : std::string("R") + curve + "G" + curve + "B" + curve;
    if (alpha) name += "A";
  }
  const bool gamma_rgb =
      !(flags & (BABL_MODEL_FLAG_CMYK | BABL_MODEL_FLAG_LINEAR | BABL_MODEL_FLAG_PERCEPTUAL));
  if (type == babl_type("u8") && gamma_rgb)
    name += " u8";
  else if (type == babl_type("double"))
    name += " double";
  else
    name += " float";
  return babl_format_with_space(name.c_str(), source);
}

GeglRectangle whole_input(GeglOperation* operation) {
  const GeglRectangle* box = gegl_operation_source_get_bounding_box(operation, "input");
  if (box == nullptr || gegl_rectangle_is_infinite_plane(box)) return GeglRectangle{0, 0, 0, 0};
  return *box;
}

void prepare(GeglOperation* operation) {
  const Babl* format = working_format(gegl_operation_get_source_format(operation, "input"));
  gegl_operation_set_format(operation, "input", format);
  gegl_operation_set_format(operation, "output", format);
}

GeglRectangle get_bounding_box(GeglOperation* operation) { return whole_input(operation); }

// Any output pixel may echo any input pixel: every request needs the whole input, and a change
// anywhere changes the whole output, which is computed once and cached.
GeglRectangle get_required_for_output(GeglOperation* operation, const gchar*,
                                      const GeglRectangle*) {
  return whole_input(operation);
}

GeglRectangle get_invalidated_by_change(GeglOperation* operation, const gchar*,
                                        const GeglRectangle*) {
  return whole_input(operation);
}

GeglRectangle get_cached_region(GeglOperation* operation, const GeglRectangle*) {
  return whole_input(operation);
}

// One process call's work: the whole input in memory and the output rectangle to fill.
struct Job {
  gegl_op::Layout layout;
  const Babl* format;
  GeglBuffer *input, *output;
  GeglRectangle area, todo;
  const uint8_t* pixels;  // the area's rows, row_bytes apart
  int64_t row_bytes;
  int32_t pixel_bytes, channels;
  bool alpha;
  enum class Kind { kU8, kFloat, kDouble } kind;
};

// Room for the whole area's pixels, in huge pages where the system has them: a photograph's
// hundred megabytes then come in a few dozen page faults instead of tens of thousands.
uint8_t* allocate_area(size_t size) {
  auto* pixels = static_cast<uint8_t*>(g_try_malloc(size));
  if (pixels == nullptr) return nullptr;
  constexpr uintptr_t kHugePage = 2 << 20;
  const auto start = reinterpret_cast<uintptr_t>(pixels);
  const uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = (start + size) & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  return pixels;
}

// The input's rows offset .. offset + size - 1 into the area's pixels (workers take strips).
void fetch_rows(gsize offset, gsize size, gpointer data) {
  const Job& job = *static_cast<const Job*>(data);
  const GeglRectangle strip{job.area.x, job.area.y + int32_t(offset), job.area.width,
                            int32_t(size)};
  gegl_buffer_get(job.input, &strip, 1.0, job.format,
                  const_cast<uint8_t*>(job.pixels) + int64_t(offset) * job.row_bytes,
                  int32_t(job.row_bytes), GEGL_ABYSS_NONE);
}

// Rows are rendered into a band of about this many bytes before they go to the output buffer.
constexpr int64_t kBandBytes = 1 << 18;

template <typename T>
void render_typed(const Job& job, const RowPlan& plan, uint8_t* dst) {
  const T* rows[kMaxSourceRows];
  for (int32_t i = 0; i < plan.row_count; ++i)
    rows[i] = reinterpret_cast<const T*>(job.pixels + plan.rows[i] * job.row_bytes);
  if constexpr (std::is_same_v<T, uint8_t>)
    gegl_op::render_row_u8(job.layout, plan, rows, job.channels, job.alpha, dst);
  else
    gegl_op::render_row_samples<T>(job.layout, plan, rows, job.channels, job.alpha,
                                   reinterpret_cast<T*>(dst));
}

void render_rows(gsize offset, gsize size, gpointer data) {
  const Job& job = *static_cast<const Job*>(data);
  const int64_t out_row_bytes = int64_t{job.todo.width} * job.pixel_bytes;
  const int32_t band = int32_t(std::clamp<int64_t>(kBandBytes / out_row_bytes, 1, int64_t(size)));
  uint8_t* buffer = static_cast<uint8_t*>(g_malloc(size_t(out_row_bytes) * size_t(band)));
  RowPlan plan;
  for (gsize first = offset; first < offset + size; first += gsize(band)) {
    const int32_t rows = int32_t(std::min<gsize>(gsize(band), offset + size - first));
    for (int32_t r = 0; r < rows; ++r) {
      const int32_t row = job.todo.y - job.area.y + int32_t(first) + r;
      gegl_op::plan_area_row(job.layout, row, job.todo.x - job.area.x, job.todo.width, &plan);
      uint8_t* dst = buffer + r * out_row_bytes;
      switch (job.kind) {
        case Job::Kind::kU8:
          render_typed<uint8_t>(job, plan, dst);
          break;
        case Job::Kind::kFloat:
          render_typed<float>(job, plan, dst);
          break;
        case Job::Kind::kDouble:
          render_typed<double>(job, plan, dst);
          break;
      }
    }
    const GeglRectangle rect{job.todo.x, job.todo.y + int32_t(first), job.todo.width, rows};
    gegl_buffer_set(job.output, &rect, 0, job.format, buffer, GEGL_AUTO_ROWSTRIDE);
  }
  g_free(buffer);
}

gboolean process(GeglOperation* operation, GeglBuffer* input, GeglBuffer* output,
                 const GeglRectangle* result, gint) {
  GeglProperties* o = GEGL_PROPERTIES(operation);
  Job job{};
  job.area = whole_input(operation);
  if (!gegl_rectangle_intersect(&job.todo, result, &job.area)) return TRUE;
  job.format = gegl_operation_get_format(operation, "output");
  if (job.area.width > gegl_op::kMaxSide || job.area.height > gegl_op::kMaxSide) {
    // Past the effect's 16-bit coordinates: the picture goes through as it is.
    g_warning("halcyrion:zorbel: %d x %d is larger than %d pixels a side; left as it is",
              job.area.width, job.area.height, gegl_op::kMaxSide);
    gegl_buffer_copy(input, &job.todo, GEGL_ABYSS_NONE, output, &job.todo);
    return TRUE;
  }
  job.output = output;
  job.pixel_bytes = babl_format_get_bytes_per_pixel(job.format);
  job.channels = babl_format_get_n_components(job.format);
  job.alpha = babl_format_has_alpha(job.format) != 0;
  const Babl* type = babl_format_get_type(job.format, 0);
  job.kind = type == babl_type("u8")       ? Job::Kind::kU8
             : type == babl_type("double") ? Job::Kind::kDouble
                                           : Job::Kind::kFloat;
  job.row_bytes = int64_t{job.area.width} * job.pixel_bytes;
  uint8_t* pixels = allocate_area(size_t(job.row_bytes) * size_t(job.area.height));
  if (pixels == nullptr) {
    g_warning("halcyrion:zorbel: no memory for a %d x %d picture", job.area.width, job.area.height);
    return FALSE;
  }
  job.input = input;
  job.pixels = pixels;
  gegl_parallel_distribute_range(gsize(job.area.height),
                                 gegl_operation_get_pixels_per_thread(operation) / job.area.width,
                                 fetch_rows, &job);

  gegl_op::Settings settings;
  settings.angle = o->angle;
  settings.regions = o->regions;
  settings.spacing = o->spacing;
  settings.intensity = o->intensity;
  settings.mode = o->mode == ZORBEL_MODE_RIGHT_ANGLE ? kModeRightAngle
                  : o->mode == ZORBEL_MODE_MIXED     ? kModeMixed
                                                     : kModeParallel;
  settings.fade = o->fade != 0;
  settings.center_x = o->center_x;
  settings.center_y = o->center_y;
  // The module sees the colour planes; alpha passes by it.
  job.layout = gegl_op::command_layout(settings, job.area.width, job.area.height,
                                       int16_t(job.channels - (job.alpha ? 1 : 0)));

  gegl_parallel_distribute_range(
      gsize(job.todo.height),
      gegl_operation_get_pixels_per_thread(operation) / std::max(job.todo.width, 1), render_rows,
      &job);
  g_free(pixels);
  return TRUE;
}

}  // namespace

static void gegl_op_class_init(GeglOpClass* klass) {
  GeglOperationClass* operation_class = GEGL_OPERATION_CLASS(klass);
  GeglOperationFilterClass* filter_class = GEGL_OPERATION_FILTER_CLASS(klass);
  operation_class->prepare = prepare;
  operation_class->get_bounding_box = get_bounding_box;
  operation_class->get_required_for_output = get_required_for_output;
  operation_class->get_invalidated_by_change = get_invalidated_by_change;
  operation_class->get_cached_region = get_cached_region;
  operation_class->threaded = FALSE;  // it spreads its rows over the workers itself
  operation_class->want_in_place = FALSE;
  filter_class->process = process;
  gegl_operation_class_set_keys(
      operation_class, "name", "halcyrion:zorbel", "title", _("Zorbel"), "categories", "distort",
      "position-dependent", "true", "description",
      _("Repeats the strip beside a centre line outwards as a row of echoes, in bands, "
        "blended with the picture and optionally fading"),
      "gimp:menu-path", "<Image>/Filters/Distorts", "gimp:menu-label", _("Zorbel..."), nullptr);
}

#endif

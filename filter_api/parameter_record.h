// The 20-byte parameter record a host keeps for the filter between runs (the `parameters`
// handle), as the module and the zorbel command both read and write it. Layout only: the
// module owns its defaults and how its values are clamped (module/host/parameter_record.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace filter_api {

// Little-endian, no gaps:
//   0 center_h   2 center_v   4 regions   6 intensity   8 angle   10 spacing
//  12 mode      14 fade      16 show_dialog (32-bit)
struct ParameterRecord {
  int16_t center_h;     // effect centre column, filter-area pixels
  int16_t center_v;     // effect centre row, filter-area pixels
  int16_t regions;      // copies, 1..20
  int16_t intensity;    // blend strength, 0..100
  int16_t angle;        // direction in degrees, 0..360
  int16_t spacing;      // distance between copies, 5..100
  int16_t mode;         // 0 parallel lines, 1 right-angle regions, -1 mixed parallel
  int16_t fade;         // 0 off, 1 on
  int32_t show_dialog;  // nonzero: the next run shows the dialog
};
static_assert(sizeof(ParameterRecord) == 20, "the stored record is 20 bytes");
static_assert(offsetof(ParameterRecord, center_v) == 2 && offsetof(ParameterRecord, regions) == 4 &&
                  offsetof(ParameterRecord, intensity) == 6 &&
                  offsetof(ParameterRecord, angle) == 8 &&
                  offsetof(ParameterRecord, spacing) == 10 &&
                  offsetof(ParameterRecord, mode) == 12 && offsetof(ParameterRecord, fade) == 14 &&
                  offsetof(ParameterRecord, show_dialog) == 16,
              "stored record layout");

}  // namespace filter_api

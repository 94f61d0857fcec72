// The 20-byte record the host keeps for the filter between runs, and the settings it holds.
// No platform header: the command reads and writes the same record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/engine/engine.h"

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
static_assert(offsetof(ParameterRecord, spacing) == 10 && offsetof(ParameterRecord, fade) == 14 &&
                  offsetof(ParameterRecord, show_dialog) == 16,
              "stored record layout");

// Writes the defaults into a record: centre 0/0, regions 8, intensity 100, angle 50,
// spacing 50, mode 0, fade 0, show_dialog 1.
void fill_default_record(ParameterRecord* record);

// The six settings of a stored record, each clamped into its range (a record written by
// another version or damaged on disk never reaches the effect out of range).
EffectSettings settings_from_record(const ParameterRecord& record);

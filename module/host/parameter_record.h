// The 20-byte record the host keeps for the filter between runs, and the settings it holds.
// No platform header: the command reads and writes the same record.
#pragma once

#include "filter_api/parameter_record.h"
#include "module/engine/engine.h"

// The record's layout is shared with the command (filter_api/parameter_record.h).
using filter_api::ParameterRecord;

// Writes the defaults into a record: centre 0/0, regions 8, intensity 100, angle 50,
// spacing 50, mode 0, fade 0, show_dialog 1.
void fill_default_record(ParameterRecord* record);

// The six settings of a stored record, each clamped into its range (a record written by
// another version or damaged on disk never reaches the effect out of range).
EffectSettings settings_from_record(const ParameterRecord& record);

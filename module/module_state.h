// The module's one static state record: every value that the selector calls share, grouped
// by the subsystem that owns it. Module code is plain procedures over this record.
// Widths: 16-bit where a value is 16-bit by nature (settings, coordinates); 32 or 64 bits
// wherever a product can overflow, keeping every formula's result where it does not.
#pragma once

#include "module/host/host.h"
#include "module/outline/outline.h"
#include "module/preview/preview.h"
#include "module/scripting/scripting.h"
#include "module/ui/ui.h"

// One part per subsystem, declared in the subsystem's header and written only by its code;
// the engine keeps no state.
struct ModuleState {
  HostCallState host;
  RunPlanState plan;
  RowCacheState cache;
  SettingsState settings;
  PreviewState preview;
  ScreenState screen;
  SelectionState selection;
  DialogWindowState dialog;
  ScriptingState scripting;
};

extern ModuleState module_state;

// The one instance of the module's state record, zero at load.
#include "module/module_state.h"

ModuleState module_state;

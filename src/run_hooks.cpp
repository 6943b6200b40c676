#include "run_hooks.h"

RunHooks g_runHooks;

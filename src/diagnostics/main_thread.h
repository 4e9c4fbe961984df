#pragma once

// The run-loop interfaces now live in base/; the hang watchdog's header still
// names them here until it is pointed at base/main_thread.h.
#include "base/main_thread.h"

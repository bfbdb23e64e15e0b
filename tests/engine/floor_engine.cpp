/* floor_engine.cpp -- built, never run, by the floor guards of the engine: the engine's own headers
 * must be found with the engine's include paths, and the application header that a guard names in
 * RUXO_GUARD_FOREIGN must not be. */
#include "ruxo.h"
#include "ruxo_cmdline_internal.h"
#include "ruxo_internal.h"
#include "ruxo_text_core.h"

#ifdef RUXO_GUARD_FOREIGN
#include RUXO_GUARD_FOREIGN
#endif

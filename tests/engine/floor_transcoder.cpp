/* floor_transcoder.cpp -- built, never run, by the floor guards of the stand-in transcoder: its own
 * headers and the engine's public ones must be found with its include paths, and the application
 * header that a guard names in RUXO_GUARD_FOREIGN must not be. */
#include "ruxo.h"
#include "ruxo_text_core.h"
#include "transcoder_args.h"
#include "transcoder_wait.h"

#ifdef RUXO_GUARD_FOREIGN
#include RUXO_GUARD_FOREIGN
#endif

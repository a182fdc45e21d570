// The host's C functions, found at run time in the host library that is
// already loaded. The plug-in names no avs_* symbol of its own: a host loaded
// with local scope (as ffmpeg loads it) could not bind such a reference, and
// the process would die on the first call.
#pragma once

#include "interface/avisynth_c_interface.h"

namespace velmoraine {

struct AvisynthCFunctions {
#define VELMORAINE_FUNCTION_FIELD(name, result, params) name##_func name;
  VELMORAINE_AVS_FUNCTIONS(VELMORAINE_FUNCTION_FIELD)
#undef VELMORAINE_FUNCTION_FIELD
  // A script error naming the first function the host lacks, or null when it
  // has every one.
  const char* missing;
};

// The host's functions, resolved on the first call and kept for the life of
// the process (the host library outlives every plug-in it loads). Null when
// no host library is loaded or it lacks avs_add_function, so that nothing can
// be registered. Safe to call from several threads.
const AvisynthCFunctions* HostFunctions();

}  // namespace velmoraine

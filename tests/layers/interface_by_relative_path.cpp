// A file of core/ reaching a header that preprocesses on its own, so that
// only the check can refuse it.
#include "../../interface/avisynth_interface.h"

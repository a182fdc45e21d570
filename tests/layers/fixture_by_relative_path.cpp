// A file of core/ reaching a stand-in host of the tests by a path relative to itself.
#include "../../tests/hosts/avisynth25/invoke_internal.h"

// A file of tools/ that uses core/ directly, as the program does.
#include "core/plane_filter.h"

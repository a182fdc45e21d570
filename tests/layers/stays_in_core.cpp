// A file of core/ that uses core/ only.
#include "core/plane_filter.h"

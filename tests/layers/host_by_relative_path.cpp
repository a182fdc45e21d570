// A file of core/ reaching a host/ header by a path relative to itself.
#include "../../host/invoke_internal.h"

#include "core/reference.h"

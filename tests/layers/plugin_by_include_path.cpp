// A file of core/ naming a plugin/ header the way plugin/ itself does.
#include "plugin/plane_driver.h"

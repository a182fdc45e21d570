// A file of tools/ reaching the plug-in's plane driver by a relative path.
#include "../../plugin/plane_driver.h"

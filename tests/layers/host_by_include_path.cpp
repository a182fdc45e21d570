// A file of core/ naming a host/ header the way host/ itself does.
#include "host/frame_server.h"

// The release of velmoraine that this tree builds. The command-line program's
// --version and every plug-in entry report it from here, so they cannot drift
// apart. Plain macros: usable from C, from freestanding builds and in
// resource scripts alike.
#pragma once

#define VELMORAINE_VERSION_MAJOR 1
#define VELMORAINE_VERSION_MINOR 0
#define VELMORAINE_VERSION_PATCH 0

// "1.0.0": the version as text.
#define VELMORAINE_VERSION_STRING "1.0.0"

// major * 65536 + minor, for interfaces that take the version as one number
// made that way (a plug-in version of the VapourSynth interface is).
#define VELMORAINE_VERSION_NUMBER (VELMORAINE_VERSION_MAJOR * 65536 + VELMORAINE_VERSION_MINOR)

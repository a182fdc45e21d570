// What marks a host entry for export: every other symbol of the plug-in is
// hidden (Linux: -fvisibility=hidden and a version script), so that a host's
// own code can never replace ours at load time, and only entries are named.
#pragma once

#if defined(_WIN32)
#define VELMORAINE_EXPORT __declspec(dllexport)
#else
#define VELMORAINE_EXPORT __attribute__((visibility("default")))
#endif

// The library's entry points: AvisynthPluginInit2 (the only export) and, on
// Windows, DllMain.
#include "plugin/sliding_dct.h"

#if defined(_WIN32)
#define VELMORAINE_PLUGIN_EXPORT __declspec(dllexport)
#else
#define VELMORAINE_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" VELMORAINE_PLUGIN_EXPORT const char* VELMORAINE_STDCALL AvisynthPluginInit2(IScriptEnvironment* env) {
  env->AddFunction("velmoraine", "c[T]i[P]i[lp]i[hp]i", &velmoraine::CreateSlidingDct, nullptr);
  return "`x' xxx";
}

#if defined(_WIN32)
// Declared here rather than through the system headers, which the
// freestanding build does not have.
extern "C" __declspec(dllimport) int __stdcall DisableThreadLibraryCalls(void* module);

extern "C" int __stdcall DllMain(void* module, unsigned long reason, void*) {
  const unsigned long kProcessAttach = 1;
  // The library keeps no per-thread state: no thread notifications needed.
  if (reason == kProcessAttach) DisableThreadLibraryCalls(module);
  return 1;
}
#endif

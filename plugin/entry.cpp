// The 2.5 host entry: AvisynthPluginInit2 registers the script function.
#include "plugin/filter_arguments.h"
#include "plugin/sliding_dct.h"

#if defined(_WIN32)
#define VELMORAINE_PLUGIN_EXPORT __declspec(dllexport)
#else
#define VELMORAINE_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" VELMORAINE_PLUGIN_EXPORT const char* VELMORAINE_STDCALL AvisynthPluginInit2(IScriptEnvironment* env) {
  env->AddFunction(velmoraine::kFunctionName, velmoraine::kFunctionParameters, &velmoraine::CreateSlidingDct,
                   nullptr);
  return "`x' xxx";
}

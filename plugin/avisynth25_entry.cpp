// The 2.5 host entry: AvisynthPluginInit2 registers the script function.
#include "plugin/export.h"
#include "plugin/filter_arguments.h"
#include "plugin/avisynth25_filter.h"

extern "C" VELMORAINE_EXPORT const char* VELMORAINE_STDCALL AvisynthPluginInit2(IScriptEnvironment* env) {
  env->AddFunction(velmoraine::kFunctionName, velmoraine::kFunctionParameters, &velmoraine::CreateSlidingDct,
                   nullptr);
  return "`x' xxx";
}

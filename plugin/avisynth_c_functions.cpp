#include "plugin/avisynth_c_functions.h"

#if defined(_WIN32)
extern "C" __declspec(dllimport) void* __stdcall GetModuleHandleW(const wchar_t* name);
extern "C" __declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
#else
#include <dlfcn.h>
#include <link.h>
#include <string.h>
#endif

namespace velmoraine {

namespace {

#if defined(_WIN32)

// The host's module is found by name without taking a reference to it.
void* OpenHost() { return GetModuleHandleW(L"avisynth.dll"); }
void* FindFunction(void* host, const char* name) { return GetProcAddress(host, name); }
void CloseHost(void*) {}

#else

// A loaded object whose file name starts with "libavisynth.so", found by
// walking the loaded objects: the way of last resort, for a host library
// opened by a path under another name.
int RememberHostPath(struct dl_phdr_info* info, size_t, void* found) {
  const char* path = info->dlpi_name;
  if (path == nullptr || path[0] == '\0') return 0;
  const char* base = strrchr(path, '/');
  base = base != nullptr ? base + 1 : path;
  if (strncmp(base, "libavisynth.so", 14) != 0) return 0;
  *static_cast<const char**>(found) = path;
  return 1;
}

// RTLD_NOLOAD finds a library only if it is loaded already, and adds a
// reference to it, which CloseHost gives back. With the host opened by an
// absolute path outside the search path, only its SONAME matches, and the
// unversioned name may not exist at all: try the versioned names first.
void* OpenHost() {
  static const char* const kNames[] = {"libavisynth.so.11", "libavisynth.so.10", "libavisynth.so.9",
                                       "libavisynth.so.8", "libavisynth.so"};
  for (const char* name : kNames) {
    void* host = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
    if (host != nullptr) return host;
  }
  const char* path = nullptr;
  dl_iterate_phdr(&RememberHostPath, &path);
  return path != nullptr ? dlopen(path, RTLD_LAZY | RTLD_NOLOAD) : nullptr;
}
void* FindFunction(void* host, const char* name) { return dlsym(host, name); }
void CloseHost(void* host) { dlclose(host); }

#endif

AvisynthCFunctions functions;
bool resolved = false;
// 0: not yet, 1: being resolved by one thread, 2: done (functions and
// resolved are final).
int state = 0;

// Looks one function up; the first one missing names itself in the message.
void* Lookup(void* host, const char* name, const char* missingMessage) {
  void* function = FindFunction(host, name);
  if (function == nullptr && functions.missing == nullptr) functions.missing = missingMessage;
  return function;
}

void Resolve() {
  void* host = OpenHost();
  if (host == nullptr) return;
  functions.missing = nullptr;
#define VELMORAINE_RESOLVE(name, result, params)                                                   \
  functions.name = reinterpret_cast<name##_func>(                                                  \
      Lookup(host, #name,                                                                          \
             "velmoraine: the host lacks the function " #name                                      \
             ", which the filter needs; use AviSynth+ 3.7.0 or later"));
  VELMORAINE_AVS_FUNCTIONS(VELMORAINE_RESOLVE)
#undef VELMORAINE_RESOLVE
  resolved = functions.avs_add_function != nullptr;
  CloseHost(host);
}

}  // namespace

const AvisynthCFunctions* HostFunctions() {
  int expected = 0;
  if (__atomic_compare_exchange_n(&state, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_ACQUIRE)) {
    Resolve();
    __atomic_store_n(&state, 2, __ATOMIC_RELEASE);
  } else {
    // Another thread resolves: the host runs entries once per script
    // environment, so this wait is short and rare.
    while (__atomic_load_n(&state, __ATOMIC_ACQUIRE) != 2) {
    }
  }
  return resolved ? &functions : nullptr;
}

}  // namespace velmoraine

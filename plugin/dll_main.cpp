// The DLL entry point of every Windows build of the library.
// Declared here rather than through the system headers, which the
// freestanding build does not have.
extern "C" __declspec(dllimport) int __stdcall DisableThreadLibraryCalls(void* module);

extern "C" int __stdcall DllMain(void* module, unsigned long reason, void*) {
  const unsigned long kProcessAttach = 1;
  // The library keeps no per-thread state: no thread notifications needed.
  if (reason == kProcessAttach) DisableThreadLibraryCalls(module);
  return 1;
}

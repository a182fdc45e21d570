// Results of the Windows test hosts: one line per check, "PASS name" or
// "FAIL name: detail", and the closing count; and the start of a host
// program without a C runtime start-up. Freestanding; the functions come
// from msvcrt.dll.
#pragma once

extern "C" {
int __cdecl printf(const char* format, ...);
int __cdecl fflush(void* file);
__declspec(noreturn) void __cdecl exit(int code);
int __cdecl __getmainargs(int* argc, char*** argv, char*** env, int wildcards, void* startup);
}

namespace wintest_report {

inline int passedCount = 0;
inline int failedCount = 0;

inline void Report(bool ok, const char* name, const char* detail = "") {
  if (ok) {
    ++passedCount;
    printf("PASS %s\n", name);
  } else {
    ++failedCount;
    printf("FAIL %s%s%s\n", name, detail[0] ? ": " : "", detail);
  }
}

// Runs a host program: `run` gets the command line when it has `argc`
// words (the program's name first), else the usage line is printed. Prints
// the closing count and exits with run's non-zero result, or 1 when a check
// failed, or 0.
[[noreturn]] inline void RunHost(int argc, const char* usage, int (*run)(char** argv)) {
  int count = 0;
  char** argv = nullptr;
  char** envp = nullptr;
  int startup[1] = {0};
  __getmainargs(&count, &argv, &envp, 0, startup);
  if (count != argc) {
    printf("usage: %s\n", usage);
    exit(2);
  }
  const int code = run(argv);
  printf("%d passed, %d failed\n", passedCount, failedCount);
  fflush(nullptr);
  exit(code != 0 ? code : failedCount != 0 ? 1 : 0);
}

}  // namespace wintest_report

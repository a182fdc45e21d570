// Results of the Windows test hosts: one line per check, "PASS name" or
// "FAIL name: detail", and the closing count. Freestanding; printf comes
// from msvcrt.dll.
#pragma once

extern "C" int __cdecl printf(const char* format, ...);

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

}  // namespace wintest_report

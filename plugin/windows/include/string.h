// Tiny C header for the freestanding Windows build: the memory and string
// functions the plug-in takes from msvcrt.dll (listed in msvcrt.def beside
// this folder) or the compiler emits calls to.
#pragma once
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif
void* __cdecl memcpy(void* destination, const void* source, size_t count);
void* __cdecl memmove(void* destination, const void* source, size_t count);
void* __cdecl memset(void* destination, int value, size_t count);
int __cdecl memcmp(const void* a, const void* b, size_t count);
size_t __cdecl strlen(const char* text);
int __cdecl strcmp(const char* a, const char* b);
#ifdef __cplusplus
}
#endif

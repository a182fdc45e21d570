// Tiny C header for the freestanding Windows build: the allocation functions
// of msvcrt.dll under the plug-in's operator new and delete.
#pragma once
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif
void* __cdecl malloc(size_t size);
void __cdecl free(void* block);
__declspec(noreturn) void __cdecl abort(void);
#ifdef __cplusplus
}
#endif

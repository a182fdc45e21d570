// The little runtime of velmoraine.dll. The DLL links no C runtime of its own
// (/nodefaultlib): msvcrt.dll supplies malloc, free and the C++ exception
// machinery, and this file supplies what the compiler and the Windows loader
// expect besides. No C runtime start-up runs, so nothing here needs one.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <new>

#include "plugin/windows/long_division.h"

extern "C" {

// The compiler references this symbol from every object that uses floating
// point; its value does not matter.
int _fltused = 0;

// Called when an exception would leave a noexcept function. Nothing of ours
// throws, so this only stops a host exception that has nowhere to go.
[[noreturn]] void __std_terminate() noexcept { abort(); }

#if defined(_M_IX86)
// The 32-bit image only: its load configuration, the 64-bit division helpers
// and the stack probe. A 64-bit image unwinds by tables and divides natively.

// ---- Load configuration -----------------------------------------------------
// The 32-bit load-configuration record up to its SafeSEH fields. Windows
// accepts exception handlers in a 32-bit image only when they are listed in
// the table this record points at; without the record the linker marks the
// image as having no handlers, and the host's exceptions could not unwind
// through our frames. The linker fills the table with every handler the
// objects registered.
struct LoadConfigDirectory32 {
  uint32_t Size;
  uint32_t TimeDateStamp;
  uint16_t MajorVersion;
  uint16_t MinorVersion;
  uint32_t GlobalFlagsClear;
  uint32_t GlobalFlagsSet;
  uint32_t CriticalSectionDefaultTimeout;
  uint32_t DeCommitFreeBlockThreshold;
  uint32_t DeCommitTotalFreeThreshold;
  uint32_t LockPrefixTable;
  uint32_t MaximumAllocationSize;
  uint32_t VirtualMemoryThreshold;
  uint32_t ProcessHeapFlags;
  uint32_t ProcessAffinityMask;
  uint16_t CSDVersion;
  uint16_t DependentLoadFlags;
  uint32_t EditList;
  const void* SecurityCookie;
  const void* SEHandlerTable;
  const void* SEHandlerCount;
};
static_assert(sizeof(LoadConfigDirectory32) == 72, "32-bit layout up to the SafeSEH fields");

// Made by the linker: the table, and an absolute symbol whose address is the
// number of its entries.
extern const void* __safe_se_handler_table[];
extern const char __safe_se_handler_count;

extern const LoadConfigDirectory32 _load_config_used = {
    sizeof(LoadConfigDirectory32), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    nullptr, __safe_se_handler_table, &__safe_se_handler_count,
};

// ---- 64-bit division ------------------------------------------------------------
// The helpers the 32-bit code generator calls for 64-bit division: standard
// call (the callee pops both 8-byte arguments), result in EDX:EAX, and names
// without the standard-call suffix, hence the assembler names.
int64_t __stdcall DivideSignedHelper(int64_t dividend, int64_t divisor) __asm__("__alldiv");
int64_t __stdcall RemainderSignedHelper(int64_t dividend, int64_t divisor) __asm__("__allrem");
uint64_t __stdcall DivideUnsignedHelper(uint64_t dividend, uint64_t divisor) __asm__("__aulldiv");
uint64_t __stdcall RemainderUnsignedHelper(uint64_t dividend, uint64_t divisor) __asm__("__aullrem");

int64_t __stdcall DivideSignedHelper(int64_t dividend, int64_t divisor) {
  return velmoraine_runtime::DivideSigned64(dividend, divisor);
}
int64_t __stdcall RemainderSignedHelper(int64_t dividend, int64_t divisor) {
  return velmoraine_runtime::RemainderSigned64(dividend, divisor);
}
uint64_t __stdcall DivideUnsignedHelper(uint64_t dividend, uint64_t divisor) {
  uint64_t rest;
  return velmoraine_runtime::DivideUnsigned64(dividend, divisor, &rest);
}
uint64_t __stdcall RemainderUnsignedHelper(uint64_t dividend, uint64_t divisor) {
  uint64_t rest;
  velmoraine_runtime::DivideUnsigned64(dividend, divisor, &rest);
  return rest;
}

#endif  // _M_IX86

}  // extern "C"

#if defined(_M_IX86)
// ---- Stack probe ---------------------------------------------------------------
// Functions whose frame exceeds a page call _chkstk with the frame size in
// EAX before taking it: Windows grows a thread's stack one guard page at a
// time, so every page must be touched in order. On 32-bit Windows the probe
// also moves ESP down by EAX itself. Defined here because wine's msvcrt.dll
// does not implement it. All registers but ESP and the flags are preserved.
__asm__(
    ".text\n"
    ".globl __chkstk\n"
    ".def __chkstk; .scl 2; .type 32; .endef\n"
    "__chkstk:\n"
    "  pushl %ecx\n"
    "  leal 8(%esp), %ecx\n"          // the caller's ESP before the call
    "  cmpl $0x1000, %eax\n"
    "  jb 2f\n"
    "1:\n"
    "  subl $0x1000, %ecx\n"
    "  testl %ecx, (%ecx)\n"          // touch the next page down
    "  subl $0x1000, %eax\n"
    "  cmpl $0x1000, %eax\n"
    "  ja 1b\n"
    "2:\n"
    "  subl %eax, %ecx\n"
    "  testl %ecx, (%ecx)\n"
    "  leal 4(%esp), %eax\n"          // where the return address is
    "  movl %ecx, %esp\n"             // the new stack top
    "  movl -4(%eax), %ecx\n"         // ECX as it was
    "  pushl (%eax)\n"                // the return address on the new top
    "  subl %esp, %eax\n"             // EAX as it was
    "  ret\n");

#else
// The 64-bit probe only touches the pages from the caller's stack pointer down
// to the new frame, in order, and leaves RSP to the caller. It preserves every
// register but R10, R11 and the flags (it saves what it uses).
__asm__(
    ".text\n"
    ".globl __chkstk\n"
    ".def __chkstk; .scl 2; .type 32; .endef\n"
    "__chkstk:\n"
    "  pushq %rcx\n"
    "  pushq %rax\n"
    "  leaq 24(%rsp), %rcx\n"         // the caller's RSP before the call
    "  cmpq $0x1000, %rax\n"
    "  jb 2f\n"
    "1:\n"
    "  subq $0x1000, %rcx\n"
    "  testq %rcx, (%rcx)\n"          // touch the next page down
    "  subq $0x1000, %rax\n"
    "  cmpq $0x1000, %rax\n"
    "  ja 1b\n"
    "2:\n"
    "  subq %rax, %rcx\n"
    "  testq %rcx, (%rcx)\n"
    "  popq %rax\n"
    "  popq %rcx\n"
    "  ret\n");
#endif  // _M_IX86

// ---- Allocation ---------------------------------------------------------------
// The non-throwing forms return null on failure; the plane filter uses only
// those and reports the failure by its return value. The plain forms have no
// way to report a failure (an exception of ours must never reach the host),
// so they stop the process instead: the plug-in allocates with the
// non-throwing forms and reports failures as script errors.
namespace std {
const nothrow_t nothrow{};
}

namespace {

void* AllocateOrStop(size_t size) {
  void* block = malloc(size ? size : 1);
  if (!block) abort();
  return block;
}

// malloc aligns to 8 bytes on 32-bit Windows. Larger alignments over-allocate
// and keep malloc's own pointer just below the aligned block.
void* AllocateAligned(size_t size, std::align_val_t alignment) noexcept {
  size_t align = static_cast<size_t>(alignment);
  if (align < sizeof(void*)) align = sizeof(void*);
  size_t extra = align - 1 + sizeof(void*);
  if (size > static_cast<size_t>(-1) - extra) return nullptr;
  void* raw = malloc(size + extra);
  if (!raw) return nullptr;
  uintptr_t aligned = (reinterpret_cast<uintptr_t>(raw) + extra) & ~static_cast<uintptr_t>(align - 1);
  reinterpret_cast<void**>(aligned)[-1] = raw;
  return reinterpret_cast<void*>(aligned);
}

void ReleaseAligned(void* block) noexcept {
  if (block) free(static_cast<void**>(block)[-1]);
}

void* AllocateAlignedOrStop(size_t size, std::align_val_t alignment) {
  void* block = AllocateAligned(size, alignment);
  if (!block) abort();
  return block;
}

}  // namespace

void* operator new(size_t size) { return AllocateOrStop(size); }
void* operator new[](size_t size) { return AllocateOrStop(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void* operator new(size_t size, std::align_val_t alignment) { return AllocateAlignedOrStop(size, alignment); }
void* operator new[](size_t size, std::align_val_t alignment) { return AllocateAlignedOrStop(size, alignment); }
void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, alignment);
}
void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, alignment);
}

void operator delete(void* block) noexcept { free(block); }
void operator delete[](void* block) noexcept { free(block); }
void operator delete(void* block, size_t) noexcept { free(block); }
void operator delete[](void* block, size_t) noexcept { free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { free(block); }
void operator delete(void* block, std::align_val_t) noexcept { ReleaseAligned(block); }
void operator delete[](void* block, std::align_val_t) noexcept { ReleaseAligned(block); }
void operator delete(void* block, size_t, std::align_val_t) noexcept { ReleaseAligned(block); }
void operator delete[](void* block, size_t, std::align_val_t) noexcept { ReleaseAligned(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { ReleaseAligned(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { ReleaseAligned(block); }

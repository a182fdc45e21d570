# Cross-builds the Windows DLLs on Linux with clang in Microsoft mode, lld-link
# and llvm-dlltool (Debian's clang-14, lld-14, llvm-14); no Microsoft SDK.
# Every tool is looked up by its versioned name first: those packages install
# only clang-14, lld-link-14, llvm-rc-14 and so on; the unversioned names come
# from the clang, lld and llvm packages, which a machine may lack.
# Used by the presets windows-x86 and windows-x64 (CMakePresets.json), which
# set VELMORAINE_WINDOWS_ARCH.
#
# Freestanding: no C runtime headers or C++ standard library, only clang's own
# headers (stddef.h, stdint.h, the intrinsics) and our tiny ones in
# plugin/windows/include. There is deliberately no <cmath>: msvcrt's maths
# functions may round differently from glibc's, so a source that needs one
# fails to build here instead of drifting from the Linux output.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)
if(NOT VELMORAINE_WINDOWS_ARCH)
  set(VELMORAINE_WINDOWS_ARCH "$ENV{VELMORAINE_WINDOWS_ARCH}")
endif()
if(VELMORAINE_WINDOWS_ARCH STREQUAL "x86")
  set(CMAKE_SYSTEM_PROCESSOR x86)
  set(velmoraine_triple i686-pc-windows-msvc)
elseif(VELMORAINE_WINDOWS_ARCH STREQUAL "x64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(velmoraine_triple x86_64-pc-windows-msvc)
else()
  message(FATAL_ERROR "VELMORAINE_WINDOWS_ARCH must be x86 or x64 (use a preset: cmake --preset windows-x64)")
endif()
# The checks CMake runs in helper projects see the same architecture.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMORAINE_WINDOWS_ARCH)
# Nothing can be linked before our own runtime exists: compile checks only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

find_program(VELMORAINE_WIN_CXX NAMES clang++-14 clang++ REQUIRED)
find_program(VELMORAINE_WIN_CC NAMES clang-14 clang REQUIRED)
find_program(VELMORAINE_WIN_LINK NAMES lld-link-14 lld-link REQUIRED)
find_program(VELMORAINE_WIN_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
find_program(VELMORAINE_WIN_AR NAMES llvm-ar-14 llvm-ar REQUIRED)
# CMake enables the resource compiler for every Windows build, although no
# .rc file is compiled.
find_program(VELMORAINE_WIN_RC NAMES llvm-rc-14 llvm-rc REQUIRED)
set(CMAKE_CXX_COMPILER ${VELMORAINE_WIN_CXX})
set(CMAKE_C_COMPILER ${VELMORAINE_WIN_CC})
set(CMAKE_CXX_COMPILER_TARGET ${velmoraine_triple})
set(CMAKE_C_COMPILER_TARGET ${velmoraine_triple})
set(CMAKE_RC_COMPILER ${VELMORAINE_WIN_RC})
set(CMAKE_LINKER ${VELMORAINE_WIN_LINK} CACHE FILEPATH "linker" FORCE)
set(CMAKE_AR ${VELMORAINE_WIN_AR} CACHE FILEPATH "archiver" FORCE)
set(CMAKE_RANLIB "" CACHE FILEPATH "no ranlib" FORCE)

get_filename_component(velmoraine_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
# -msse2 keeps 32-bit double arithmetic in SSE registers, rounded exactly as
# on x86-64 (no x87 extended precision). No run-time checks that would need a
# C runtime (stack protector, security cookies).
set(velmoraine_flags
  "-ffreestanding -nostdlibinc -nostdinc++ -fms-extensions -fms-compatibility -fno-rtti"
  "-fno-stack-protector -msse2 -isystem ${velmoraine_root}/plugin/windows/include")
# 32-bit: the 2.5 entry lets the host's C++ exceptions unwind through our
# frames (destructors run). 64-bit: nothing may unwind across the plain-C
# entry, so no exception tables at all.
if(VELMORAINE_WINDOWS_ARCH STREQUAL "x86")
  list(APPEND velmoraine_flags "-fexceptions -fcxx-exceptions")
else()
  list(APPEND velmoraine_flags "-fno-exceptions")
endif()
string(JOIN " " velmoraine_flags ${velmoraine_flags})
set(CMAKE_CXX_FLAGS_INIT "${velmoraine_flags}")
set(CMAKE_C_FLAGS_INIT "${velmoraine_flags}")
set(CMAKE_MSVC_RUNTIME_LIBRARY "")

# The link rules (lld-link directly, nothing by default) are set where the
# DLL is defined, plugin/windows.cmake: the platform files CMake reads after
# this one would replace them.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

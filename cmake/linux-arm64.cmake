# Cross-builds for 64-bit ARM Linux (aarch64) on an x86-64 Debian machine, with
# clang and lld against Debian's arm64 cross libraries: libstdc++-12-dev-arm64-cross,
# libc6-dev-arm64-cross and binutils-aarch64-linux-gnu, which put the target's
# libraries and headers in /usr/aarch64-linux-gnu and the GCC runtime in
# /usr/lib/gcc-cross. Debian's gcc cross compiler is not used: it conflicts
# with g++-multilib, which the 32-bit stage installs.
#
# Used by the preset linux-arm64 (CMakePresets.json). GoogleTest is built from
# the sources of Debian's googletest package (VELMORAINE_GTEST_SOURCES), so no
# arm64 packages of the host architecture are needed. Programs run under
# qemu-aarch64 when the build machine is not itself aarch64: ctest then goes
# through it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(velmoraine_triple aarch64-linux-gnu)
set(velmoraine_sysroot /usr/${velmoraine_triple})

find_program(VELMORAINE_ARM64_CXX NAMES clang++-14 clang++ REQUIRED)
find_program(VELMORAINE_ARM64_CC NAMES clang-14 clang REQUIRED)
find_program(VELMORAINE_ARM64_LLD NAMES ld.lld-14 ld.lld REQUIRED)
find_program(VELMORAINE_ARM64_AR NAMES llvm-ar-14 llvm-ar ${velmoraine_triple}-ar REQUIRED)
find_program(VELMORAINE_ARM64_RANLIB NAMES llvm-ranlib-14 llvm-ranlib ${velmoraine_triple}-ranlib REQUIRED)
set(CMAKE_CXX_COMPILER ${VELMORAINE_ARM64_CXX})
set(CMAKE_C_COMPILER ${VELMORAINE_ARM64_CC})
set(CMAKE_CXX_COMPILER_TARGET ${velmoraine_triple})
set(CMAKE_C_COMPILER_TARGET ${velmoraine_triple})
set(CMAKE_AR ${VELMORAINE_ARM64_AR} CACHE FILEPATH "archiver" FORCE)
set(CMAKE_RANLIB ${VELMORAINE_ARM64_RANLIB} CACHE FILEPATH "ranlib" FORCE)
# --ld-path takes the versioned name too (-fuse-ld=lld looks for ld.lld only).
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "--ld-path=${VELMORAINE_ARM64_LLD}")
endforeach()

# Libraries and headers of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH ${velmoraine_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Header-only CLI11 is the build machine's, seen through a folder that holds
# it alone (its own package file would add all of /usr/include, the build
# machine's C library headers included).
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/arm64 CACHE PATH "CLI11 for the cross build" FORCE)
set(VELMORAINE_GTEST_SOURCES /usr/src/googletest CACHE PATH "GoogleTest sources to build")

# The test lists are read when ctest runs, not at build time, so building
# needs no emulator.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
if(NOT CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
  find_program(VELMORAINE_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
  if(VELMORAINE_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORAINE_QEMU_AARCH64} -L ${velmoraine_sysroot})
  endif()
endif()

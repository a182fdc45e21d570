# The target `wheel`: the plug-in library as a VapourSynth wheel in the build
# tree, vapoursynth_velmoraine-<version>-py3-none-<platform>.whl, written by
# cmake/package/make-wheel.py (Python's standard library only). Linux x86-64
# and aarch64 builds tag it manylinux_2_<N>_<arch>, N read from the built
# library; the 64-bit Windows DLL's build tags it win_amd64. One library for
# every processor: it picks its kernels when it runs.
# Included by the root CMakeLists.txt after the folders.
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  if(NOT VELMORAINE_WINDOWS_ARCH STREQUAL "x64")
    return()  # no VapourSynth for 32-bit Windows builds
  endif()
  set(wheel_library velmoraine_dll)
  set(wheel_platform --platform win_amd64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|aarch64)$")
  set(wheel_library velmoraine_plugin)
  # GNU readelf reads the libraries of every architecture.
  find_program(VELMORAINE_READELF NAMES readelf llvm-readelf-14 llvm-readelf)
  set(wheel_platform --linux-arch ${CMAKE_SYSTEM_PROCESSOR} --readelf ${VELMORAINE_READELF})
else()
  return()
endif()

find_program(VELMORAINE_PYTHON3 NAMES python3)
if(VELMORAINE_PYTHON3)
  set(wheel_command ${VELMORAINE_PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/package/make-wheel.py
      --library $<TARGET_FILE:${wheel_library}> --version ${PROJECT_VERSION}
      --licence ${PROJECT_SOURCE_DIR}/LICENSE --out ${PROJECT_BINARY_DIR} ${wheel_platform})
else()
  set(wheel_command ${CMAKE_COMMAND} -E echo "the wheel needs python3 (Debian package python3)"
      COMMAND ${CMAKE_COMMAND} -E false)
endif()
add_custom_target(wheel COMMAND ${wheel_command} COMMENT "Making the VapourSynth wheel" VERBATIM)
add_dependencies(wheel ${wheel_library})

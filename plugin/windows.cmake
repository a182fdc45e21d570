# velmoraine.dll, from the same core library and plane driver as the Linux
# library, with the entries of its platform:
#   32-bit: the 2.5 entry only (exported as _AvisynthPluginInit2@4), for the
#           32-bit hosts built with Microsoft's compiler;
#   64-bit: the plain-C entry (avisynth_c_plugin_init, _init2) and the
#           VapourSynth entry (VapourSynthPluginInit2); no 2.5 entry, whose
#           C++ interface no 64-bit Windows host shares with us.
# Each list names its entry files; add an entry by adding its files here.
set(VELMORAINE_WINDOWS_X86_ENTRY_SOURCES avisynth25_filter.cpp avisynth25_entry.cpp)
set(VELMORAINE_WINDOWS_X64_ENTRY_SOURCES avisynth_c_entry.cpp avisynth_c_functions.cpp vapoursynth_entry.cpp)

set(windows_tools ${PROJECT_SOURCE_DIR}/plugin/windows)
include(${PROJECT_SOURCE_DIR}/cmake/windows-link-rules.cmake)

if(VELMORAINE_WINDOWS_ARCH STREQUAL "x86")
  set(entry_sources ${VELMORAINE_WINDOWS_X86_ENTRY_SOURCES})
  set(def_suffix "")
  # Every object must register its exception handlers, and the image gets the
  # handler table that the load-configuration record points at.
  set(link_flags /safeseh)
else()
  set(entry_sources ${VELMORAINE_WINDOWS_X64_ENTRY_SOURCES})
  set(def_suffix "-x64")
  set(link_flags "")
endif()

# What the DLL may take from the system: msvcrt.dll and kernel32.dll, as
# listed, nothing else.
velmoraine_import_library(velmoraine_msvcrt ${windows_tools}/msvcrt${def_suffix}.def)
velmoraine_import_library(velmoraine_kernel32 ${windows_tools}/kernel32${def_suffix}.def)

add_library(velmoraine_dll SHARED
  ${VELMORAINE_PLUGIN_COMMON_SOURCES} ${entry_sources} dll_main.cpp ${windows_tools}/runtime.cpp)
set_target_properties(velmoraine_dll PROPERTIES OUTPUT_NAME velmoraine PREFIX "" SUFFIX .dll)
add_dependencies(velmoraine_dll velmoraine_msvcrt velmoraine_kernel32)
target_link_libraries(velmoraine_dll PRIVATE velmoraine_core velmoraine_interface
                      ${velmoraine_msvcrt_PATH} ${velmoraine_kernel32_PATH})
target_link_options(velmoraine_dll PRIVATE /entry:DllMain ${link_flags})
# The DLL sees the other layers as the Linux library does: through their
# libraries' views, checked before it is linked (its runtime and shims are
# part of the plug-in layer).
velmoraine_layer(velmoraine_dll plugin MAY_USE core interface)

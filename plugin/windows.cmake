# velmoraine.dll, from the same core library and plane driver as the Linux
# library, with the entries of its platform:
#   32-bit: the 2.5 entry only (exported as _AvisynthPluginInit2@4), for the
#           32-bit hosts built with Microsoft's compiler;
#   64-bit: the plain-C entry (avisynth_c_plugin_init, _init2).
# Each list names its entry files; add an entry by adding its files here.
set(VELMORAINE_WINDOWS_X86_ENTRY_SOURCES sliding_dct.cpp entry.cpp)
set(VELMORAINE_WINDOWS_X64_ENTRY_SOURCES avisynth_c_entry.cpp avisynth_c_host.cpp vapoursynth_entry.cpp)

set(windows_tools ${PROJECT_SOURCE_DIR}/tools/windows)

# The DLL is linked by lld-link directly, with nothing by default: the import
# libraries the project makes from its .def lists are all it links.
set(velmoraine_machine x86)
if(VELMORAINE_WINDOWS_ARCH STREQUAL "x64")
  set(velmoraine_machine x64)
endif()
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_CXX_CREATE_SHARED_LIBRARY
  "${VELMORAINE_WIN_LINK} /nologo /dll /machine:${velmoraine_machine} /nodefaultlib /Brepro <LINK_FLAGS> /out:<TARGET> /implib:<TARGET_IMPLIB> <OBJECTS> <LINK_LIBRARIES>")
set(CMAKE_CXX_LINK_EXECUTABLE
  "${VELMORAINE_WIN_LINK} /nologo /machine:${velmoraine_machine} /subsystem:console /nodefaultlib /Brepro <LINK_FLAGS> /out:<TARGET> <OBJECTS> <LINK_LIBRARIES>")

if(VELMORAINE_WINDOWS_ARCH STREQUAL "x86")
  set(entry_sources ${VELMORAINE_WINDOWS_X86_ENTRY_SOURCES})
  set(dlltool_machine i386)
  # Standard-call names (NAME@N) in the .def lists are imported plain.
  set(dlltool_flags -k)
  set(def_suffix "")
  # Every object must register its exception handlers, and the image gets the
  # handler table that the load-configuration record points at.
  set(link_flags /safeseh)
else()
  set(entry_sources ${VELMORAINE_WINDOWS_X64_ENTRY_SOURCES})
  set(dlltool_machine i386:x86-64)
  set(dlltool_flags "")
  set(def_suffix "-x64")
  set(link_flags "")
endif()

# Import libraries from the .def lists of what the DLL may take from the
# system: msvcrt.dll and kernel32.dll, nothing else.
set(import_libs "")
foreach(system_dll msvcrt kernel32)
  set(def ${windows_tools}/${system_dll}${def_suffix}.def)
  set(lib ${CMAKE_CURRENT_BINARY_DIR}/${system_dll}.lib)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${VELMORAINE_WIN_DLLTOOL} -m ${dlltool_machine} ${dlltool_flags} -d ${def} -l ${lib}
    DEPENDS ${def} VERBATIM)
  list(APPEND import_libs ${lib})
endforeach()
add_custom_target(velmoraine_import_libraries DEPENDS ${import_libs})

add_library(velmoraine_dll SHARED
  ${VELMORAINE_PLUGIN_COMMON_SOURCES} ${entry_sources} dll_main.cpp ${windows_tools}/runtime.cpp)
target_include_directories(velmoraine_dll PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(velmoraine_dll PROPERTIES OUTPUT_NAME velmoraine PREFIX "" SUFFIX .dll)
add_dependencies(velmoraine_dll velmoraine_import_libraries)
target_link_libraries(velmoraine_dll PRIVATE velmoraine_core ${import_libs})
target_link_options(velmoraine_dll PRIVATE /entry:DllMain ${link_flags})

# How the Windows build links (include it in every folder that defines a
# Windows DLL or program): lld-link directly, with nothing by default. The
# import libraries the project makes from its .def lists are all a target
# links. Set per folder because the platform files CMake reads after the
# toolchain file would replace these rules.
set(velmoraine_machine x86)
if(VELMORAINE_WINDOWS_ARCH STREQUAL "x64")
  set(velmoraine_machine x64)
endif()
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_CXX_CREATE_CONSOLE_EXE "")  # the rule below names the subsystem
set(CMAKE_CXX_CREATE_SHARED_LIBRARY
  "${VELMORAINE_WIN_LINK} /nologo /dll /machine:${velmoraine_machine} /nodefaultlib /Brepro <LINK_FLAGS> /out:<TARGET> /implib:<TARGET_IMPLIB> <OBJECTS> <LINK_LIBRARIES>")
set(CMAKE_CXX_LINK_EXECUTABLE
  "${VELMORAINE_WIN_LINK} /nologo /machine:${velmoraine_machine} /subsystem:console /nodefaultlib /Brepro <LINK_FLAGS> /out:<TARGET> <OBJECTS> <LINK_LIBRARIES>")

# velmoraine_import_library(TARGET DEF_FILE): an import library made from a
# .def list by llvm-dlltool, for the architecture of this build; the custom
# target TARGET builds it and TARGET_PATH (in the caller's scope) is its path.
function(velmoraine_import_library target def)
  get_filename_component(name ${def} NAME_WE)
  set(lib ${CMAKE_CURRENT_BINARY_DIR}/${target}.lib)
  if(VELMORAINE_WINDOWS_ARCH STREQUAL "x86")
    # Standard-call names (NAME@N) in the .def lists are imported plain.
    set(machine_flags -m i386 -k)
  else()
    set(machine_flags -m i386:x86-64)
  endif()
  add_custom_command(OUTPUT ${lib}
    COMMAND ${VELMORAINE_WIN_DLLTOOL} ${machine_flags} -d ${def} -l ${lib}
    DEPENDS ${def} VERBATIM)
  add_custom_target(${target} DEPENDS ${lib})
  set(${target}_PATH ${lib} PARENT_SCOPE)
endfunction()

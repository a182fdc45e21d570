# CLI11 (header-only) for the aarch64 cross build: the build machine's headers
# of Debian's libcli11-dev, through a folder of the build tree that holds
# /usr/include/CLI alone.
if(NOT TARGET CLI11::CLI11)
  set(velmoraine_cli11_view ${CMAKE_BINARY_DIR}/cli11-headers)
  if(NOT EXISTS ${velmoraine_cli11_view}/CLI)
    if(NOT EXISTS /usr/include/CLI/CLI.hpp)
      message(FATAL_ERROR "CLI11 headers not found in /usr/include/CLI (Debian: libcli11-dev)")
    endif()
    file(MAKE_DIRECTORY ${velmoraine_cli11_view})
    file(CREATE_LINK /usr/include/CLI ${velmoraine_cli11_view}/CLI SYMBOLIC)
  endif()
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${velmoraine_cli11_view})
endif()
set(CLI11_FOUND TRUE)

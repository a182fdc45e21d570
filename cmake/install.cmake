# What `cmake --install` puts where (GNUInstallDirs: the library folder is
# multiarch on Debian when the prefix is /usr), and the .deb that
# `cpack -G DEB` makes of the same files:
#   bin/velmoraine                              the program
#   <libdir>/avisynth/libvelmoraine.so          the plug-in, where AviSynth+
#                                               autoloads from its prefix
#   <libdir>/vapoursynth/libvelmoraine.so       a link to it, for VapourSynth
#   share/doc/velmoraine/                       README, docs, the licence as a
#                                               Debian copyright file, the
#                                               changelog (gzip)
#   share/man/man1/velmoraine.1.gz              tools/velmoraine.1 (gzip)
# The program is self-contained, so the install runs with the build tree
# gone.
# The target `deb` makes the package from a tree of its own, configured for
# /usr without tests or benchmarks, whatever this tree's prefix; `cpack -G
# DEB` in a tree configured for another prefix is refused.
# Included by the root CMakeLists.txt after the folders, Linux builds only.

install(TARGETS velmoraine RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Unversioned: hosts load every library in their folder by file name, and
# nothing links against it.
install(TARGETS velmoraine_plugin LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/avisynth)
# A relative link, so it holds under DESTDIR and in the package alike.
set(vapoursynth_link ${PROJECT_BINARY_DIR}/install/vapoursynth/libvelmoraine.so)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/install/vapoursynth)
file(CREATE_LINK ../avisynth/libvelmoraine.so ${vapoursynth_link} SYMBOLIC)
install(FILES ${vapoursynth_link} DESTINATION ${CMAKE_INSTALL_LIBDIR}/vapoursynth)

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Compressed as Debian packages hold them: gzip -9n, no name or time inside,
# so the same input makes the same bytes.
find_program(VELMORAINE_GZIP gzip REQUIRED)
function(velmoraine_gzip input output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${VELMORAINE_GZIP} -9n -c ${input} > ${output}
    DEPENDS ${input} COMMENT "Compressing ${output}")
endfunction()

set(package_dir ${PROJECT_BINARY_DIR}/install)
# The licence as a machine-readable copyright file: its conditions, each
# line indented by one space and empty lines written " .".
file(READ LICENSE licence_text)
string(FIND "${licence_text}" "Redistribution and use" first)
string(SUBSTRING "${licence_text}" ${first} -1 licence_text)
string(STRIP "${licence_text}" licence_text)
string(REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REPLACE "\n" "\n " licence_text " ${licence_text}")
file(WRITE ${package_dir}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: velmoraine\n\n"
  "Files: *\nCopyright: 2026 the velmoraine developers\nLicense: BSD-2-Clause\n${licence_text}\n")
install(FILES ${package_dir}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The changelog names the release the package is: it must be this one.
file(STRINGS cmake/package/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^velmoraine \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/package/changelog: its first entry is not ${PROJECT_VERSION}: ${changelog_head}")
endif()
velmoraine_gzip(${PROJECT_SOURCE_DIR}/cmake/package/changelog ${package_dir}/changelog.gz)
set(package_files ${package_dir}/changelog.gz)
install(FILES ${package_dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

option(VELMORAINE_MANPAGE "Install the program's man page" ON)
if(VELMORAINE_MANPAGE)
  set(VERSION ${PROJECT_VERSION})
  configure_file(tools/velmoraine.1 ${package_dir}/velmoraine.1 @ONLY)
  velmoraine_gzip(${package_dir}/velmoraine.1 ${package_dir}/velmoraine.1.gz)
  list(APPEND package_files ${package_dir}/velmoraine.1.gz)
  install(FILES ${package_dir}/velmoraine.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
add_custom_target(velmoraine_package_files ALL DEPENDS ${package_files})

# A stripped install (and so the package) also drops the compiler's .comment
# notes, as Debian's own packaging does.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(file ${CMAKE_INSTALL_BINDIR}/velmoraine ${CMAKE_INSTALL_LIBDIR}/avisynth/libvelmoraine.so)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")

# A packager's build (no tests) makes only what it installs: the noise
# table program, a measuring tool, is left to test builds.
if(TARGET noise_table AND NOT VELMORAINE_TESTS)
  set_target_properties(noise_table PROPERTIES EXCLUDE_FROM_ALL ON)
endif()

set(CPACK_PACKAGE_NAME velmoraine)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# A placeholder address in a domain reserved for examples: the project has no
# mail domain yet.
set(CPACK_PACKAGE_CONTACT "velmoraine developers <velmoraine@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "video denoiser: frame-server plug-in and YUV4MPEG2 program")
set(CPACK_PACKAGE_DESCRIPTION
    "An overlapped 8x8 DCT denoiser. One plug-in library for AviSynth 2.5,\nAviSynth+ and VapourSynth, installed in their autoload folders, and the\ncommand-line program velmoraine for YUV4MPEG2 pipes.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The library and the program depend on what they link (libc6, libstdc++6,
# libgcc-s1), found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_VELMORAINE_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/package/check-prefix.cmake)
include(CPack)

# The package from a tree of its own (<tree>/package), configured for /usr
# and building only what it packs; the .deb lands in this tree.
if(NOT CMAKE_CROSSCOMPILING)
  set(package_tree ${PROJECT_BINARY_DIR}/package)
  set(package_options -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
      -DVELMORAINE_TESTS=OFF -DVELMORAINE_BENCH=OFF -DVELMORAINE_MANPAGE=ON -DVELMORAINE_SANITIZE=
      -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER} -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER})
  foreach(launcher CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER)
    if(${launcher})
      list(APPEND package_options -D${launcher}=${${launcher}})
    endif()
  endforeach()
  cmake_host_system_information(RESULT package_jobs QUERY NUMBER_OF_LOGICAL_CORES)
  add_custom_target(deb
    COMMAND ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR} -B ${package_tree} ${package_options}
    # Its own jobs: the make running this target shares no job slots with it.
    COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS
            ${CMAKE_COMMAND} --build ${package_tree} -j ${package_jobs}
    COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${package_tree}/CPackConfig.cmake
            -B ${PROJECT_BINARY_DIR}
    COMMENT "Making the Debian package in ${PROJECT_BINARY_DIR}" VERBATIM USES_TERMINAL)
endif()

# What `cmake --install` puts where (GNUInstallDirs: the library folder is
# multiarch on Debian when the prefix is /usr), and the .deb that
# `cpack -G DEB` makes of the same files:
#   bin/velmoraine                              the program
#   <libdir>/avisynth/libvelmoraine.so          the plug-in, where AviSynth+
#                                               autoloads from its prefix
#   <libdir>/vapoursynth/libvelmoraine.so       a link to it, for VapourSynth
#   share/doc/velmoraine/                       README and docs
#   share/man/man1/velmoraine.1                 made from --help by help2man
# The program is self-contained, so the install runs with the build tree
# gone.
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

option(VELMORAINE_MANPAGE "Make and install the program's man page (needs help2man)" ON)
# Not in sanitizer builds, which are for testing and whose program reports
# at exit what a man page has no place for.
if(VELMORAINE_MANPAGE AND NOT VELMORAINE_SANITIZE)
  find_program(VELMORAINE_HELP2MAN help2man REQUIRED)
  set(manpage ${PROJECT_BINARY_DIR}/install/velmoraine.1)
  add_custom_command(OUTPUT ${manpage}
    COMMAND ${VELMORAINE_HELP2MAN} --no-info --no-discard-stderr
            --name "denoise YUV4MPEG2 video through the velmoraine plug-in"
            --output ${manpage} $<TARGET_FILE:velmoraine>
    DEPENDS velmoraine
    COMMENT "Making the man page from velmoraine --help" VERBATIM)
  add_custom_target(velmoraine_manpage ALL DEPENDS ${manpage})
  install(FILES ${manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME velmoraine)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "velmoraine developers <velmoraine@localhost>")
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
# The package holds what the build was configured for: configure with
# -DCMAKE_INSTALL_PREFIX=/usr so that <libdir> is the multiarch folder the
# Debian hosts autoload.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)

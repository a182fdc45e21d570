# Read by cpack (CPACK_PROJECT_CONFIG_FILE). A .deb must hold files under
# /usr with the multiarch library folder, which only a tree configured for
# /usr has: a tree configured for another prefix is refused, naming the
# target that packages from a tree of its own.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_VELMORAINE_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR
    "this tree is configured for ${CPACK_VELMORAINE_PREFIX}, and a Debian package must install "
    "under /usr: build the package with `cmake --build <tree> --target deb`, which configures "
    "a tree of its own for /usr")
endif()

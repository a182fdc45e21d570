# The streaming pass, its kernel table and the per-instruction-set kernels.
# x86 kernels enable their instruction sets per function (target attributes),
# so every file builds with the same flags, as the Windows plug-in needs.
target_sources(velmoraine_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/cpu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_kernels.cpp
  ${CMAKE_CURRENT_LIST_DIR}/x86/stream_sse2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/x86/stream_avx2.cpp
)

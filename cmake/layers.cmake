# The layers of the tree and what each may use:
#   interface <- plugin;  core <- plugin, tools;  y4m <- tools
# (the tests may use everything; their stand-in hosts, under tests/hosts,
# use interface alone). A library of folder F includes its own
# headers as "F/x.h" through a folder of the build tree that shows F alone,
# so it sees another layer's headers only by linking that layer's library.
# A check before each library is linked preprocesses its sources and refuses
# any header outside the folders the layer may use, however the #include
# reaches it (a relative "../plugin/x.h" or an absolute path included).

set(VELMORAINE_CHECK_LAYER ${CMAKE_CURRENT_LIST_DIR}/check-layer.sh)

# velmoraine_layer(TARGET FOLDER [MAY_USE FOLDER...] [CHECKED_BY TARGET])
# Gives TARGET the view of FOLDER and checks its sources against FOLDER and
# the MAY_USE folders. The check runs before TARGET is linked, or before
# CHECKED_BY is for an object library (those are not linked themselves).
function(velmoraine_layer target folder)
  cmake_parse_arguments(PARSE_ARGV 2 LAYER "" "CHECKED_BY" "MAY_USE")
  set(view ${PROJECT_BINARY_DIR}/layers/${folder})
  if(NOT EXISTS ${view}/${folder})
    file(MAKE_DIRECTORY ${view})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${view})
    return()
  endif()
  target_include_directories(${target} PUBLIC ${view})

  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  set(files)
  foreach(source ${sources})
    if(source MATCHES "\\.(c|cpp)$")
      cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir} OUTPUT_VARIABLE path)
      list(APPEND files ${path})
    endif()
  endforeach()
  set(checked_by ${target})
  if(LAYER_CHECKED_BY)
    set(checked_by ${LAYER_CHECKED_BY})
  endif()
  list(JOIN LAYER_MAY_USE " " may_use)
  set(includes "$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>")
  # The check preprocesses as the build compiles: for the same target and
  # with the same flags (a cross build's freestanding headers, not the
  # build machine's).
  separate_arguments(flags UNIX_COMMAND "${CMAKE_CXX_FLAGS}")
  if(CMAKE_CXX_COMPILER_TARGET)
    list(PREPEND flags --target=${CMAKE_CXX_COMPILER_TARGET})
  endif()
  add_custom_command(TARGET ${checked_by} PRE_LINK
    COMMAND ${VELMORAINE_CHECK_LAYER} ${CMAKE_CXX_COMPILER} ${PROJECT_SOURCE_DIR} ${folder}
            "${folder} ${may_use}" ${flags}
            "$<$<BOOL:${includes}>:-I$<JOIN:${includes},;-I>>" -- ${files}
    COMMENT "Checking the includes of layer ${folder} (${target})"
    COMMAND_EXPAND_LISTS VERBATIM)
endfunction()

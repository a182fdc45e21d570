# The Y4M stream reader/writer and the Y4M source clip. Included by
# host/CMakeLists.txt and, should that not have happened, by tools/.
if(NOT TARGET velmoraine_y4m)
  add_library(velmoraine_y4m STATIC
    ${CMAKE_CURRENT_LIST_DIR}/y4m.cpp
  )
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/y4m_clip.cpp)
    target_sources(velmoraine_y4m PRIVATE ${CMAKE_CURRENT_LIST_DIR}/y4m_clip.cpp)
  endif()
  target_include_directories(velmoraine_y4m PUBLIC ${PROJECT_SOURCE_DIR})
endif()

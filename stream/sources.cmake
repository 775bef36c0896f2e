list(APPEND KSCAM_DRIVER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/descriptors.cpp
  ${CMAKE_CURRENT_LIST_DIR}/intersect.cpp
  ${CMAKE_CURRENT_LIST_DIR}/video_range.cpp
)

list(APPEND KSCAM_DRIVER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/band_workers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture_pin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/descriptors.cpp
  ${CMAKE_CURRENT_LIST_DIR}/intersect.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_thread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/video_range.cpp
)

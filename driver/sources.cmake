list(APPEND KSCAM_DRIVER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/driver_entry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipeline_access.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rundown.cpp
)
